// SPDX-License-Identifier: GPL-3.0-or-later
#include "naming/Companions.h"
#include "naming/FileMoves.h"
#include "naming/Renamer.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using Status = VideoItem::Status;
using Outcome = Renamer::UndoResult::Outcome;
namespace fs = std::filesystem;

namespace {

fs::path bytesPath(const QByteArray& bytes)
{
    return fs::path(bytes.toStdString());
}

fs::path child(const fs::path& dir, const QString& name)
{
    return dir / name.toStdString();
}

void writeFile(const fs::path& path, const QByteArray& content)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    QVERIFY2(fd >= 0, path.c_str());
    QCOMPARE(::write(fd, content.constData(), size_t(content.size())), ssize_t(content.size()));
    ::close(fd);
}

// By bytes: QFile would turn a name that is not UTF-8 into another name.
QByteArray readFile(const fs::path& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return "<missing>";
    QByteArray bytes(4096, Qt::Uninitialized);
    const ssize_t n = ::read(fd, bytes.data(), size_t(bytes.size()));
    ::close(fd);
    bytes.resize(qMax<ssize_t>(n, 0));
    return bytes;
}

// File names in dir, sorted, as raw bytes.
QList<QByteArray> namesIn(const fs::path& dir)
{
    QList<QByteArray> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.append(QByteArray::fromStdString(entry.path().filename().native()));
    std::sort(names.begin(), names.end());
    return names;
}

QList<QByteArray> utf8(const QStringList& names)
{
    QList<QByteArray> out;
    for (const QString& name : names)
        out.append(name.toUtf8());
    std::sort(out.begin(), out.end());
    return out;
}

VideoItem itemFor(const fs::path& path, const QString& proposedName, Status status = Status::Analyzed)
{
    VideoItem item;
    item.id = QUuid::createUuid();
    item.url = path;
    item.proposedName = proposedName;
    item.status = status;
    return item;
}

// Every entry below dir by relative path, sorted: "name/" for a folder, "name@" for a symbolic link.
QStringList tree(const fs::path& dir, const QString& prefix = {})
{
    QStringList out;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const QString name = prefix + QString::fromStdString(entry.path().filename().native());
        if (entry.is_symlink())
            out.append(name + u'@');
        else if (entry.is_directory())
            out += QStringList { name + u'/' } + tree(entry.path(), name + u'/');
        else
            out.append(name);
    }
    out.sort();
    return out;
}

// Makes the entries tree() lists; a file holds its own name.
void makeTree(const fs::path& dir, const QStringList& entries)
{
    for (const QString& entry : entries) {
        if (entry.endsWith(u'/'))
            QVERIFY(fs::create_directory(child(dir, entry.chopped(1))));
        else if (entry.endsWith(u'@'))
            fs::create_symlink("elsewhere", child(dir, entry.chopped(1)));
        else
            writeFile(child(dir, entry), entry.toUtf8());
    }
}

mode_t modeOf(const fs::path& path)
{
    struct stat st
    { };
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

} // namespace

class TestRenamer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void clashes_data();
    void clashes();
    void cleaning_data();
    void cleaning();
    void onlyEligibleItems();
    void failedMoves();
    void targetAppearsDuringBatch_data();
    void targetAppearsDuringBatch();
    void travelTogether_data();
    void travelTogether();
    void sidecarRaces();
    void bytesThatAreNotUtf8();
    void logFileAndDirectory();
    void logsOfOneSecondAreKept();
    void noUndoDirectoryNoMoves();
    void undoRestores();
    void undoSkipsGoneAndOccupied();
    void undoFollowsChains();
    void undoReadsEscapedSlashes();
    void undoRejects_data();
    void undoRejects();

private:
    fs::path undoDir() const
    {
        return Renamer::undoDirectory();
    }

    QTemporaryDir m_state;
    std::optional<QTemporaryDir> m_dir;
    fs::path m_folder;
};

void TestRenamer::initTestCase()
{
    QVERIFY(m_state.isValid());
    qputenv("XDG_STATE_HOME", QFile::encodeName(m_state.path()));
}

void TestRenamer::init()
{
    m_dir.emplace();
    QVERIFY(m_dir->isValid());
    m_folder = QFile::encodeName(m_dir->path()).toStdString();
    std::error_code error;
    fs::remove_all(undoDir(), error);
}

void TestRenamer::cleanup()
{
    FileMoves::setStepHook({});
    FileMoves::setForceHardLinks(false);
    // QTemporaryDir cannot remove names that are not UTF-8.
    std::error_code error;
    fs::remove_all(m_folder, error);
    m_dir.reset();
}

void TestRenamer::clashes_data()
{
    QTest::addColumn<QStringList>("existing"); // files that are there before and must stay untouched
    QTest::addColumn<QStringList>("sources");
    QTest::addColumn<QStringList>("proposed");
    QTest::addColumn<QStringList>("renamed");

    QTest::newRow("same name three times")
        << QStringList() << QStringList { u"a.mov"_s, u"b.mov"_s, u"c.mov"_s }
        << QStringList { u"茶楼"_s, u"茶楼"_s, u"茶楼"_s }
        << QStringList { u"茶楼.mov"_s, u"茶楼-2.mov"_s, u"茶楼-3.mov"_s };
    QTest::newRow("name and -2 taken")
        << QStringList { u"茶楼.mov"_s, u"茶楼-2.mov"_s } << QStringList { u"a.mov"_s }
        << QStringList { u"茶楼"_s } << QStringList { u"茶楼-3.mov"_s };
    QTest::newRow("folder with the name") << QStringList { u"茶楼.mov/"_s } << QStringList { u"a.mov"_s }
                                          << QStringList { u"茶楼"_s } << QStringList { u"茶楼-2.mov"_s };
    QTest::newRow("no extension") << QStringList { u"茶楼"_s } << QStringList { u"RAW"_s, u"RAW2"_s }
                                  << QStringList { u"茶楼"_s, u"茶楼"_s }
                                  << QStringList { u"茶楼-2"_s, u"茶楼-3"_s };
    QTest::newRow("extension keeps its case") << QStringList() << QStringList { u"IMG_0234.MOV"_s }
                                              << QStringList { u"茶楼"_s } << QStringList { u"茶楼.MOV"_s };
    QTest::newRow("own name counts as taken") << QStringList() << QStringList { u"茶楼.mov"_s }
                                              << QStringList { u"茶楼"_s } << QStringList { u"茶楼-2.mov"_s };
    QTest::newRow("only the last extension") << QStringList() << QStringList { u"a.b.mov"_s }
                                             << QStringList { u"茶楼"_s } << QStringList { u"茶楼.mov"_s };
    QTest::newRow("hidden file has no extension") << QStringList() << QStringList { u".clip"_s }
                                                  << QStringList { u"茶楼"_s } << QStringList { u"茶楼"_s };
    QTest::newRow("a name freed earlier in the batch")
        << QStringList() << QStringList { u"a.mov"_s, u"b.mov"_s } << QStringList { u"c"_s, u"a"_s }
        << QStringList { u"c.mov"_s, u"a.mov"_s };
}

void TestRenamer::clashes()
{
    QFETCH(QStringList, existing);
    QFETCH(QStringList, sources);
    QFETCH(QStringList, proposed);
    QFETCH(QStringList, renamed);

    for (const QString& name : existing) {
        if (name.endsWith(u'/'))
            QVERIFY(fs::create_directory(child(m_folder, name.chopped(1))));
        else
            writeFile(child(m_folder, name), "existing " + name.toUtf8());
    }
    QList<VideoItem> items;
    for (qsizetype i = 0; i < sources.size(); ++i) {
        writeFile(child(m_folder, sources[i]), "source " + sources[i].toUtf8());
        items.append(itemFor(child(m_folder, sources[i]), proposed[i]));
    }

    const auto log = Renamer::rename(items);
    QVERIFY(log);
    for (qsizetype i = 0; i < sources.size(); ++i) {
        QCOMPARE(items[i].status, Status::Renamed);
        QCOMPARE(items[i].url, child(m_folder, renamed[i]));
        QCOMPARE(readFile(items[i].url), "source " + sources[i].toUtf8());
    }
    for (const QString& name : existing) {
        if (!name.endsWith(u'/'))
            QCOMPARE(readFile(child(m_folder, name)), "existing " + name.toUtf8());
    }
    QStringList expectedNames = renamed;
    for (const QString& name : existing)
        expectedNames.append(name.endsWith(u'/') ? name.chopped(1) : name);
    QCOMPARE(namesIn(m_folder), utf8(expectedNames));

    // The log maps each new path to its old one.
    const QJsonObject object = QJsonDocument::fromJson(readFile(*log)).object();
    QCOMPARE(object.size(), sources.size());
    for (qsizetype i = 0; i < sources.size(); ++i) {
        QCOMPARE(object.value(QString::fromStdString(child(m_folder, renamed[i]).native())).toString(),
            QString::fromStdString(child(m_folder, sources[i]).native()));
    }
}

void TestRenamer::cleaning_data()
{
    QTest::addColumn<QString>("proposed");
    QTest::addColumn<QString>("renamed"); // empty: the item is skipped

    QTest::newRow("forbidden characters") << u"成都/武侯:祠*?\"<>|\\"_s << u"成都武侯祠.mov"_s;
    QTest::newRow("line feed and outer spaces") << u"  石桥\n流水 \t"_s << u"石桥 流水.mov"_s;
    QTest::newRow("NUL cannot cut the name short") << u"石桥\u0000流水"_s << u"石桥流水.mov"_s;
    QTest::newRow("only forbidden characters and spaces") << u" / : * \t"_s << QString();
    QTest::newRow("dot names stay inside the folder") << u".."_s << u"...mov"_s;
}

void TestRenamer::cleaning()
{
    QFETCH(QString, proposed);
    QFETCH(QString, renamed);

    const fs::path source = child(m_folder, u"clip.mov"_s);
    writeFile(source, "clip");
    QList<VideoItem> items { itemFor(source, proposed) };
    const auto log = Renamer::rename(items);
    if (renamed.isEmpty()) {
        QVERIFY(!log);
        QCOMPARE(items[0].status, Status::Analyzed);
        QCOMPARE(items[0].url, source);
        QCOMPARE(namesIn(m_folder), utf8({ u"clip.mov"_s }));
    } else {
        QVERIFY(log);
        QCOMPARE(items[0].url, child(m_folder, renamed));
        QCOMPARE(namesIn(m_folder), utf8({ renamed }));
    }
}

void TestRenamer::onlyEligibleItems()
{
    QList<VideoItem> items;
    const QList<Status> statuses { Status::Pending, Status::Analyzing, Status::Renamed, Status::Error,
        Status::Analyzed, Status::Naming, Status::Analyzed };
    for (qsizetype i = 0; i < statuses.size(); ++i) {
        const fs::path path = child(m_folder, u"f%1.mov"_s.arg(i));
        writeFile(path, "x");
        // The last one has no proposed name.
        items.append(itemFor(path, i + 1 < statuses.size() ? u"n%1"_s.arg(i) : QString(), statuses[i]));
    }
    const QList<VideoItem> before = items;
    QVERIFY(Renamer::rename(items));
    for (qsizetype i = 0; i < items.size(); ++i) {
        const bool eligible = i == 4 || i == 5;
        QCOMPARE(items[i].status, eligible ? Status::Renamed : before[i].status);
        QCOMPARE(items[i].url == before[i].url, !eligible);
    }

    // Nothing eligible: no log and no file in the undo directory.
    std::error_code error;
    fs::remove_all(undoDir(), error);
    QList<VideoItem> pending { itemFor(child(m_folder, u"f0.mov"_s), u"n"_s, Status::Pending) };
    QVERIFY(!Renamer::rename(pending));
    QVERIFY(!fs::exists(undoDir()) || fs::is_empty(undoDir()));
}

void TestRenamer::failedMoves()
{
    QList<VideoItem> items { itemFor(child(m_folder, u"gone1.mov"_s), u"a"_s),
        itemFor(child(m_folder, u"gone2.mov"_s), u"b"_s) };
    QVERIFY(!Renamer::rename(items));
    QCOMPARE(items[0].status, Status::Error);
    QCOMPARE(items[1].status, Status::Error);
    QVERIFY(!fs::exists(undoDir()) || fs::is_empty(undoDir()));

    // One failure does not stop the batch, and only the move that happened is in the log.
    const fs::path present = child(m_folder, u"present.mov"_s);
    writeFile(present, "x");
    items = { itemFor(child(m_folder, u"gone.mov"_s), u"a"_s), itemFor(present, u"b"_s) };
    const auto log = Renamer::rename(items);
    QVERIFY(log);
    QCOMPARE(items[0].status, Status::Error);
    QCOMPARE(items[0].url, child(m_folder, u"gone.mov"_s));
    QCOMPARE(items[1].status, Status::Renamed);
    QCOMPARE(QJsonDocument::fromJson(readFile(*log)).object().size(), 1);
}

void TestRenamer::targetAppearsDuringBatch_data()
{
    QTest::addColumn<bool>("hardLinks");
    QTest::newRow("rename without replace") << false;
    QTest::newRow("link and unlink") << true;
}

void TestRenamer::targetAppearsDuringBatch()
{
    QFETCH(bool, hardLinks);
    FileMoves::setForceHardLinks(hardLinks);

    const fs::path source = child(m_folder, u"clip.mov"_s);
    writeFile(source, "clip");
    const fs::path intruder = child(m_folder, u"茶楼.mov"_s);
    // Someone else creates the chosen name after the check and before the move.
    FileMoves::setStepHook([&](FileMoves::Step step, const fs::path& target) {
        if (step == FileMoves::Step::BeforeMove && target == intruder)
            writeFile(intruder, "someone else's");
    });
    QList<VideoItem> items { itemFor(source, u"茶楼"_s) };
    QVERIFY(Renamer::rename(items));
    QCOMPARE(items[0].status, Status::Renamed);
    QCOMPARE(items[0].url, child(m_folder, u"茶楼-2.mov"_s));
    QCOMPARE(readFile(intruder), "someone else's");
    QCOMPARE(readFile(items[0].url), "clip");
    QCOMPARE(namesIn(m_folder), utf8({ u"茶楼.mov"_s, u"茶楼-2.mov"_s }));
}

void TestRenamer::travelTogether_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("items"); // "IMG_0042.MOV=2.5": a clip of 2.5 seconds
    QTest::addColumn<QStringList>("proposed");
    QTest::addColumn<QStringList>("renamed"); // the whole folder afterwards

    QTest::newRow("editing sidecars by stem and by whole name")
        << QStringList { u"IMG_0042.CR3"_s, u"IMG_0042.xmp"_s, u"IMG_0042.CR3.xmp"_s, u"IMG_0042.CR3.pp3"_s,
               u"IMG_0042.CR3.DOP"_s, u"IMG_00421.xmp"_s }
        << QStringList { u"IMG_0042.CR3"_s } << QStringList { u"茶楼"_s }
        << QStringList { u"IMG_00421.xmp"_s, u"茶楼.CR3"_s, u"茶楼.CR3.DOP"_s, u"茶楼.CR3.pp3"_s,
               u"茶楼.CR3.xmp"_s, u"茶楼.xmp"_s };
    QTest::newRow("camera companions") << QStringList { u"GX010042.MP4"_s, u"GX010042.THM"_s,
        u"GX010042.LRV"_s, u"DJI_0001.MP4"_s, u"DJI_0001.SRT"_s, u"IMG_0042.HEIC"_s,
        u"IMG_0042.AAE"_s } << QStringList { u"GX010042.MP4"_s, u"DJI_0001.MP4"_s, u"IMG_0042.HEIC"_s }
                                       << QStringList { u"茶楼"_s, u"茶楼"_s, u"夜景"_s }
                                       << QStringList { u"夜景.AAE"_s, u"夜景.HEIC"_s, u"茶楼-2.MP4"_s,
                                              u"茶楼-2.SRT"_s, u"茶楼.LRV"_s, u"茶楼.MP4"_s, u"茶楼.THM"_s };
    QTest::newRow("RAW and JPEG take the picture's name")
        << QStringList { u"IMG_0042.CR3"_s, u"IMG_0042.JPG"_s, u"IMG_0042.xmp"_s }
        << QStringList { u"IMG_0042.CR3"_s, u"IMG_0042.JPG"_s } << QStringList { u"别的"_s, u"茶楼"_s }
        << QStringList { u"茶楼.CR3"_s, u"茶楼.JPG"_s, u"茶楼.xmp"_s };
    QTest::newRow("Live Photo") << QStringList { u"IMG_0042.HEIC"_s, u"IMG_0042.MOV"_s }
                                << QStringList { u"IMG_0042.HEIC"_s, u"IMG_0042.MOV=2.5"_s }
                                << QStringList { u"茶楼"_s, u"别的"_s }
                                << QStringList { u"茶楼.HEIC"_s, u"茶楼.MOV"_s };
    QTest::newRow("a long MOV is a clip of its own")
        << QStringList { u"IMG_0042.HEIC"_s, u"IMG_0042.MOV"_s }
        << QStringList { u"IMG_0042.HEIC"_s, u"IMG_0042.MOV=12"_s } << QStringList { u"茶楼"_s, u"夜景"_s }
        << QStringList { u"夜景.MOV"_s, u"茶楼.HEIC"_s };
    QTest::newRow("halves in two folders are no pair")
        << QStringList { u"IMG_0042.JPG"_s, u"sub/"_s, u"sub/IMG_0042.CR3"_s }
        << QStringList { u"IMG_0042.JPG"_s, u"sub/IMG_0042.CR3"_s } << QStringList { u"茶楼"_s, u"夜景"_s }
        << QStringList { u"sub/"_s, u"sub/夜景.CR3"_s, u"茶楼.JPG"_s };
    QTest::newRow("a taken sidecar name moves the group")
        << QStringList { u"a.CR3"_s, u"a.xmp"_s, u"茶楼.xmp"_s } << QStringList { u"a.CR3"_s }
        << QStringList { u"茶楼"_s } << QStringList { u"茶楼-2.CR3"_s, u"茶楼-2.xmp"_s, u"茶楼.xmp"_s };
    QTest::newRow("two pairs with one name")
        << QStringList { u"IMG_1.CR3"_s, u"IMG_1.JPG"_s, u"IMG_2.CR3"_s, u"IMG_2.JPG"_s, u"茶楼-2.JPG"_s }
        << QStringList { u"IMG_1.CR3"_s, u"IMG_1.JPG"_s, u"IMG_2.CR3"_s, u"IMG_2.JPG"_s }
        << QStringList { u"茶楼"_s, u"茶楼"_s, u"茶楼"_s, u"茶楼"_s }
        << QStringList { u"茶楼-2.JPG"_s, u"茶楼-3.CR3"_s, u"茶楼-3.JPG"_s, u"茶楼.CR3"_s, u"茶楼.JPG"_s };
    QTest::newRow("links and folders are not sidecars")
        << QStringList { u"a.mov"_s, u"a.xmp@"_s, u"a.srt/"_s } << QStringList { u"a.mov"_s }
        << QStringList { u"茶楼"_s } << QStringList { u"a.srt/"_s, u"a.xmp@"_s, u"茶楼.mov"_s };
    // 255 bytes less ".mov" and "-99": 82 characters of three bytes.
    QTest::newRow("a name too long is cut")
        << QStringList { u"a.mov"_s } << QStringList { u"a.mov"_s } << QStringList { QString(100, u'茶') }
        << QStringList { QString(82, u'茶') + u".mov"_s };
}

void TestRenamer::travelTogether()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, items);
    QFETCH(QStringList, proposed);
    QFETCH(QStringList, renamed);

    makeTree(m_folder, files);
    QList<VideoItem> list;
    for (qsizetype i = 0; i < items.size(); ++i) {
        const QStringList parts = items[i].split(u'=');
        VideoItem item = itemFor(child(m_folder, parts[0]), proposed[i]);
        if (parts.size() > 1)
            item.durationSeconds = parts[1].toDouble();
        item.sidecars = Companions::discover({ item.url }).front().sidecars;
        list.append(item);
    }
    Companions::pairUp(list);

    const auto log = Renamer::rename(list);
    QVERIFY(log);
    for (const VideoItem& item : std::as_const(list))
        QCOMPARE(item.status, Status::Renamed);
    QCOMPARE(tree(m_folder), renamed);
    // Every file is a renamed one or one that was left alone, and holds what it held.
    for (const QString& entry : renamed) {
        if (!entry.endsWith(u'/') && !entry.endsWith(u'@'))
            QVERIFY(files.contains(QString::fromUtf8(readFile(child(m_folder, entry)))));
    }

    const Renamer::UndoResult result = Renamer::undo(*log);
    QCOMPARE(result.outcome, Outcome::Replayed);
    files.sort();
    QCOMPARE(tree(m_folder), files);
    for (const QString& entry : files) {
        if (!entry.endsWith(u'/') && !entry.endsWith(u'@'))
            QCOMPARE(readFile(child(m_folder, entry)), entry.toUtf8());
    }
}

void TestRenamer::sidecarRaces()
{
    makeTree(m_folder, { u"a.CR3"_s, u"a.xmp"_s, u"a.pp3"_s });
    // Just before the first move one sidecar is deleted and another program takes a sidecar's new name.
    bool raced = false;
    FileMoves::setStepHook([&](FileMoves::Step step, const fs::path&) {
        if (step != FileMoves::Step::BeforeMove || std::exchange(raced, true))
            return;
        QVERIFY(fs::remove(child(m_folder, u"a.xmp"_s)));
        writeFile(child(m_folder, u"茶楼.pp3"_s), "someone else's");
    });
    VideoItem item = itemFor(child(m_folder, u"a.CR3"_s), u"茶楼"_s);
    item.sidecars = Companions::discover({ item.url }).front().sidecars;
    QList<VideoItem> items { item };
    const auto log = Renamer::rename(items);
    QVERIFY(log);
    QCOMPARE(tree(m_folder), (QStringList { u"茶楼-2.CR3"_s, u"茶楼-2.pp3"_s, u"茶楼.pp3"_s }));
    QCOMPARE(items[0].sidecars, std::vector<fs::path> { child(m_folder, u"茶楼-2.pp3"_s) });
    QCOMPARE(items[0].companions, items[0].sidecars);

    // A sidecar goes back only with its file: here the file's old name has been taken meanwhile.
    writeFile(child(m_folder, u"a.CR3"_s), "a new file");
    const Renamer::UndoResult result = Renamer::undo(*log);
    QCOMPARE(result.restored, 0);
    QCOMPARE(result.skipped, 2);
    QCOMPARE(tree(m_folder), (QStringList { u"a.CR3"_s, u"茶楼-2.CR3"_s, u"茶楼-2.pp3"_s, u"茶楼.pp3"_s }));
}

void TestRenamer::bytesThatAreNotUtf8()
{
    // GBK names, as archives from other systems carry them: a folder and a file.
    const fs::path folder = m_folder / bytesPath("\xb3\xc9\xb6\xbc");
    QVERIFY(fs::create_directory(folder));
    const fs::path source = folder / bytesPath("\xc4\xe3\xba\xc3.MOV");
    writeFile(source, "gbk");
    QList<VideoItem> items { itemFor(source, u"茶楼"_s) };
    const auto log = Renamer::rename(items);
    QVERIFY(log);
    QCOMPARE(items[0].url, folder / bytesPath("茶楼.MOV"));

    const Renamer::UndoResult result = Renamer::undo(*log);
    QCOMPARE(result.outcome, Outcome::Replayed);
    QCOMPARE(result.restored, 1);
    QCOMPARE(namesIn(folder), QList<QByteArray> { "\xc4\xe3\xba\xc3.MOV" });
    QCOMPARE(readFile(source), "gbk");
}

void TestRenamer::logFileAndDirectory()
{
    const fs::path source = child(m_folder, u"clip.mov"_s);
    writeFile(source, "clip");
    QList<VideoItem> items { itemFor(source, u"茶楼"_s) };
    const auto log = Renamer::rename(items);
    QVERIFY(log);
    QCOMPARE(log->parent_path(), undoDir());
    QVERIFY(QRegularExpression(u"^tagora_undo_\\d+\\.json$"_s)
                .match(QString::fromStdString(log->filename().native()))
                .hasMatch());
    QCOMPARE(modeOf(undoDir()), mode_t(0700));
    QCOMPARE(modeOf(*log), mode_t(0600));
    // Nothing else is left behind: no journal, no temporary file.
    QCOMPARE(namesIn(undoDir()), QList<QByteArray> { QByteArray::fromStdString(log->filename().native()) });
    QCOMPARE(Renamer::latestLog(), log);

    const QByteArray text = readFile(*log);
    QVERIFY(text.contains("\n    \""));
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(document.object(),
        (QJsonObject {
            { QString::fromStdString(items[0].url.native()), QString::fromStdString(source.native()) } }));
}

void TestRenamer::logsOfOneSecondAreKept()
{
    QList<fs::path> logs;
    for (int i = 0; i < 3; ++i) {
        const fs::path source = child(m_folder, u"clip%1.mov"_s.arg(i));
        writeFile(source, "clip");
        QList<VideoItem> items { itemFor(source, u"n%1"_s.arg(i)) };
        const auto log = Renamer::rename(items);
        QVERIFY(log);
        logs.append(*log);
    }
    QVERIFY(logs[0] != logs[1] && logs[1] != logs[2] && logs[0] != logs[2]);
    for (const fs::path& log : logs)
        QVERIFY(fs::exists(log));
    QCOMPARE(Renamer::latestLog(), logs.last());
}

void TestRenamer::noUndoDirectoryNoMoves()
{
    // The state directory cannot be made: a file stands where it should be.
    const QByteArray saved = qgetenv("XDG_STATE_HOME");
    const fs::path blocker = child(m_folder, u"state"_s);
    writeFile(blocker, "");
    qputenv("XDG_STATE_HOME", QByteArray::fromStdString(blocker.native()));
    const fs::path source = child(m_folder, u"clip.mov"_s);
    writeFile(source, "clip");
    QList<VideoItem> items { itemFor(source, u"茶楼"_s) };
    const auto log = Renamer::rename(items);
    qputenv("XDG_STATE_HOME", saved);
    QVERIFY(!log);
    QCOMPARE(items[0].status, Status::Error);
    QCOMPARE(items[0].url, source);
    QVERIFY(fs::exists(source));
}

void TestRenamer::undoRestores()
{
    QList<VideoItem> items;
    for (const QString& name : { u"a.mov"_s, u"b.mov"_s, u"c"_s }) {
        writeFile(child(m_folder, name), name.toUtf8());
        items.append(itemFor(child(m_folder, name), u"茶楼"_s));
    }
    const auto log = Renamer::rename(items);
    QVERIFY(log);
    QCOMPARE(namesIn(m_folder), utf8({ u"茶楼.mov"_s, u"茶楼-2.mov"_s, u"茶楼"_s }));

    const Renamer::UndoResult result = Renamer::undo(*log);
    QCOMPARE(result.outcome, Outcome::Replayed);
    QCOMPARE(result.restored, 3);
    QCOMPARE(result.moves.size(), size_t(3));
    QCOMPARE(namesIn(m_folder), utf8({ u"a.mov"_s, u"b.mov"_s, u"c"_s }));
    for (const QString& name : { u"a.mov"_s, u"b.mov"_s, u"c"_s })
        QCOMPARE(readFile(child(m_folder, name)), name.toUtf8());
    QVERIFY(!fs::exists(*log));
    QCOMPARE(Renamer::undo(*log).outcome, Outcome::Unreadable);
}

void TestRenamer::undoSkipsGoneAndOccupied()
{
    QList<VideoItem> items;
    for (const QString& name : { u"gone.mov"_s, u"occupied.mov"_s, u"fine.mov"_s }) {
        writeFile(child(m_folder, name), name.toUtf8());
        items.append(itemFor(child(m_folder, name), u"new-"_s + name.chopped(4)));
    }
    const auto log = Renamer::rename(items);
    QVERIFY(log);
    QVERIFY(fs::remove(items[0].url));
    writeFile(child(m_folder, u"occupied.mov"_s), "a new file");

    const Renamer::UndoResult result = Renamer::undo(*log);
    QCOMPARE(result.restored, 1);
    QCOMPARE(result.skipped, 2);
    QCOMPARE(readFile(child(m_folder, u"occupied.mov"_s)), "a new file");
    QCOMPARE(readFile(items[1].url), "occupied.mov");
    QCOMPARE(readFile(child(m_folder, u"fine.mov"_s)), "fine.mov");
    // Read and parsed: the log goes even though not everything went back.
    QVERIFY(!fs::exists(*log));

    // Everything gone: nothing to do, and the log still goes.
    writeFile(child(m_folder, u"x.mov"_s), "x");
    items = { itemFor(child(m_folder, u"x.mov"_s), u"y"_s) };
    const auto second = Renamer::rename(items);
    QVERIFY(second);
    QVERIFY(fs::remove(items[0].url));
    QCOMPARE(Renamer::undo(*second).restored, 0);
    QVERIFY(!fs::exists(*second));
}

void TestRenamer::undoFollowsChains()
{
    // a.mov goes to c.mov and frees its name, which b.mov then takes: undo must move b back first.
    writeFile(child(m_folder, u"a.mov"_s), "a");
    writeFile(child(m_folder, u"b.mov"_s), "b");
    QList<VideoItem> items { itemFor(child(m_folder, u"a.mov"_s), u"c"_s),
        itemFor(child(m_folder, u"b.mov"_s), u"a"_s) };
    const auto log = Renamer::rename(items);
    QVERIFY(log);
    QCOMPARE(readFile(child(m_folder, u"a.mov"_s)), "b");
    QCOMPARE(Renamer::undo(*log).restored, 2);
    QCOMPARE(readFile(child(m_folder, u"a.mov"_s)), "a");
    QCOMPARE(readFile(child(m_folder, u"b.mov"_s)), "b");
    QCOMPARE(namesIn(m_folder), utf8({ u"a.mov"_s, u"b.mov"_s }));
}

void TestRenamer::undoReadsEscapedSlashes()
{
    // Logs written by other JSON writers escape every slash.
    writeFile(child(m_folder, u"new.mov"_s), "n");
    QString escaped = QString::fromStdString(m_folder.native());
    escaped.replace(u"/"_s, u"\\/"_s);
    const QByteArray text
        = "{\n    \"" + escaped.toUtf8() + "\\/new.mov\" : \"" + escaped.toUtf8() + "\\/old.mov\"\n}\n";
    QVERIFY(UndoLog::preparePrivateDir(undoDir()));
    const fs::path log = undoDir() / "tagora_undo_1.json";
    writeFile(log, text);
    QCOMPARE(Renamer::undo(log).restored, 1);
    QCOMPARE(readFile(child(m_folder, u"old.mov"_s)), "n");
}

void TestRenamer::undoRejects_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("outcome");

    QTest::newRow("a value is a number")
        << "{\"%1/new.mov\": \"%1/old.mov\", \"%1/x.mov\": 3}"_ba << int(Outcome::Malformed);
    QTest::newRow("not JSON") << "not json"_ba << int(Outcome::Malformed);
    QTest::newRow("an array") << "[\"%1/new.mov\"]"_ba << int(Outcome::Malformed);
    QTest::newRow("empty file") << ""_ba << int(Outcome::Malformed);
}

void TestRenamer::undoRejects()
{
    QFETCH(QByteArray, text);
    QFETCH(int, outcome);

    writeFile(child(m_folder, u"new.mov"_s), "n");
    const fs::path log = m_folder / "log.json";
    writeFile(log, text.replace("%1", QByteArray::fromStdString(m_folder.native())));
    const Renamer::UndoResult result = Renamer::undo(log);
    QCOMPARE(int(result.outcome), outcome);
    QCOMPARE(result.restored, 0);
    QVERIFY(fs::exists(log));
    QVERIFY(fs::exists(child(m_folder, u"new.mov"_s)));
    QVERIFY(!fs::exists(child(m_folder, u"old.mov"_s)));

    QCOMPARE(Renamer::undo(m_folder / "missing.json").outcome, Outcome::Unreadable);
}

QTEST_GUILESS_MAIN(TestRenamer)
#include "TestRenamer.moc"

// SPDX-License-Identifier: GPL-3.0-or-later
#include "RawFiles.h"
#include "common/AppSettings.h"
#include "naming/Companions.h"
#include "naming/FileMoves.h"
#include "naming/Messages.h"
#include "naming/NameBuilder.h"
#include "naming/Renamer.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;
using Status = VideoItem::Status;
using Outcome = Renamer::UndoResult::Outcome;
using Reason = Renamer::UndoResult::Reason;
namespace fs = std::filesystem;

namespace {

fs::path child(const fs::path& dir, const QString& name)
{
    return dir / name.toStdString();
}

QString text(const fs::path& path)
{
    return QString::fromStdString(path.native());
}

// The tables spell a list of names as one string, separated by spaces.
QStringList names(const char* spaced)
{
    return QString::fromUtf8(spaced).split(u' ', Qt::SkipEmptyParts);
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
        const QString name = prefix + text(entry.path().filename());
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

bool isFile(const QString& entry)
{
    return !entry.endsWith(u'/') && !entry.endsWith(u'@');
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

} // namespace

class TestRenamer : public QObject
{
    Q_OBJECT

    QTemporaryDir m_state;
    std::optional<QTemporaryDir> m_dir;
    fs::path m_folder;

    // One new file of the test folder holding "clip", renamed to proposed.
    std::optional<fs::path> renameOne(const QString& name, const QString& proposed, VideoItem& item)
    {
        writeFile(child(m_folder, name), "clip");
        QList<VideoItem> items { itemFor(child(m_folder, name), proposed) };
        const auto log = Renamer::rename(items);
        item = items[0];
        return log;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_state.isValid());
        qputenv("XDG_STATE_HOME", QFile::encodeName(m_state.path()));
    }

    void init()
    {
        m_dir.emplace();
        QVERIFY(m_dir->isValid());
        m_folder = QFile::encodeName(m_dir->path()).toStdString();
        std::error_code error;
        fs::remove_all(Renamer::undoDirectory(), error);
    }

    void cleanup()
    {
        FileMoves::setStepHook({});
        FileMoves::setForceHardLinks(false);
        // QTemporaryDir cannot remove names that are not UTF-8.
        std::error_code error;
        fs::remove_all(m_folder, error);
        m_dir.reset();
    }

    // A batch, and its undo. "IMG_0042.MOV=2.5" is an item of 2.5 seconds. after lists the items' new
    // names in their order, then the rest of the folder.
    void renameAndUndo_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("items");
        QTest::addColumn<QStringList>("proposed");
        QTest::addColumn<QStringList>("after");
        const auto row = [](const char* tag, const char* files, const char* items, const char* proposed,
                             const char* after) {
            QTest::newRow(tag) << names(files) << names(items) << names(proposed) << names(after);
        };
        row("same name three times", "a.mov b.mov c", "a.mov b.mov c", "茶楼 茶楼 茶楼",
            "茶楼.mov 茶楼-2.mov 茶楼");
        row("name and -2 taken", "茶楼.mov 茶楼-2.mov a.mov", "a.mov", "茶楼",
            "茶楼-3.mov 茶楼.mov 茶楼-2.mov");
        row("folder with the name", "茶楼.mov/ a.mov", "a.mov", "茶楼", "茶楼-2.mov 茶楼.mov/");
        row("no extension", "茶楼 RAW RAW2", "RAW RAW2", "茶楼 茶楼", "茶楼-2 茶楼-3 茶楼");
        row("extension keeps its case", "IMG_0234.MOV", "IMG_0234.MOV", "茶楼", "茶楼.MOV");
        row("own name counts as taken", "茶楼.mov", "茶楼.mov", "茶楼", "茶楼-2.mov");
        row("only the last extension", "a.b.mov", "a.b.mov", "茶楼", "茶楼.mov");
        row("hidden file has no extension", ".clip", ".clip", "茶楼", "茶楼");
        // Undo must move b.mov back to c.mov before a.mov can go home.
        row("a name freed earlier in the batch", "b.mov c.mov", "b.mov c.mov", "a b", "a.mov b.mov");
        row("editing sidecars by stem and by whole name",
            "IMG_0042.CR3 IMG_0042.xmp IMG_0042.CR3.xmp IMG_0042.CR3.pp3 IMG_0042.CR3.DOP IMG_00421.xmp",
            "IMG_0042.CR3", "茶楼", "茶楼.CR3 IMG_00421.xmp 茶楼.CR3.DOP 茶楼.CR3.pp3 茶楼.CR3.xmp 茶楼.xmp");
        row("camera companions",
            "GX010042.MP4 GX010042.THM GX010042.LRV DJI_0001.MP4 DJI_0001.SRT IMG_0042.HEIC IMG_0042.AAE",
            "GX010042.MP4 DJI_0001.MP4 IMG_0042.HEIC", "茶楼 茶楼 夜景",
            "茶楼.MP4 茶楼-2.MP4 夜景.HEIC 夜景.AAE 茶楼-2.SRT 茶楼.LRV 茶楼.THM");
        row("RAW and JPEG take the picture's name", "IMG_0042.CR3 IMG_0042.JPG IMG_0042.xmp",
            "IMG_0042.CR3 IMG_0042.JPG", "别的 茶楼", "茶楼.CR3 茶楼.JPG 茶楼.xmp");
        row("Live Photo", "IMG_0042.HEIC IMG_0042.MOV", "IMG_0042.HEIC IMG_0042.MOV=2.5", "茶楼 别的",
            "茶楼.HEIC 茶楼.MOV");
        row("a long MOV is a clip of its own", "IMG_0042.HEIC IMG_0042.MOV", "IMG_0042.HEIC IMG_0042.MOV=12",
            "茶楼 夜景", "茶楼.HEIC 夜景.MOV");
        // A sidecar named after a stem goes only where every file of that stem goes.
        row("a stem's sidecar stays with a file outside the list", "IMG_0042.HEIC IMG_0042.MOV IMG_0042.AAE",
            "IMG_0042.MOV=2.5", "茶楼", "茶楼.MOV IMG_0042.AAE IMG_0042.HEIC");
        row("and with files named apart", "IMG_0042.JPG IMG_0042.MOV IMG_0042.xmp",
            "IMG_0042.JPG IMG_0042.MOV=12", "茶楼 夜景", "茶楼.JPG 夜景.MOV IMG_0042.xmp");
        row("halves in two folders are no pair", "IMG_0042.JPG sub/ sub/IMG_0042.CR3",
            "IMG_0042.JPG sub/IMG_0042.CR3", "茶楼 夜景", "茶楼.JPG sub/夜景.CR3 sub/");
        row("a taken sidecar name moves the group", "a.CR3 a.xmp 茶楼.xmp", "a.CR3", "茶楼",
            "茶楼-2.CR3 茶楼-2.xmp 茶楼.xmp");
        row("two pairs with one name", "IMG_1.CR3 IMG_1.JPG IMG_2.CR3 IMG_2.JPG 茶楼-2.JPG",
            "IMG_1.CR3 IMG_1.JPG IMG_2.CR3 IMG_2.JPG", "茶楼 茶楼 茶楼 茶楼",
            "茶楼.CR3 茶楼.JPG 茶楼-3.CR3 茶楼-3.JPG 茶楼-2.JPG");
        row("links and folders are not sidecars", "a.mov a.xmp@ a.srt/", "a.mov", "茶楼",
            "茶楼.mov a.srt/ a.xmp@");
        row("forbidden characters", "clip.mov", "clip.mov", "成都/武侯:祠*?\"<>|\\", "成都武侯祠.mov");
        row("dot names stay inside the folder", "clip.mov", "clip.mov", "../茶楼", "茶楼.mov");
        QTest::newRow("line feed and outer spaces")
            << names("clip.mov") << names("clip.mov") << QStringList { u"  石桥\n流水 \t"_s }
            << QStringList { u"石桥 流水.mov"_s };
        QTest::newRow("NUL cannot cut the name short")
            << names("clip.mov") << names("clip.mov") << QStringList { u"石桥\u0000流水"_s }
            << names("石桥流水.mov");
        // 255 bytes less ".mov" and "-99": 82 characters of three bytes.
        QTest::newRow("a name too long is cut")
            << names("a.mov") << names("a.mov") << QStringList { QString(100, u'茶') }
            << QStringList { QString(82, u'茶') + u".mov"_s };
    }

    void renameAndUndo()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, items);
        QFETCH(QStringList, proposed);
        QFETCH(QStringList, after);

        makeTree(m_folder, files);
        QList<VideoItem> list;
        for (qsizetype i = 0; i < items.size(); ++i) {
            const QStringList parts = items[i].split(u'=');
            items[i] = parts[0];
            VideoItem item = itemFor(child(m_folder, parts[0]), proposed[i]);
            if (parts.size() > 1)
                item.durationSeconds = parts[1].toDouble();
            item.sidecars = Companions::discover({ item.url }).front().sidecars;
            list.append(item);
        }
        Companions::pairUp(list);

        const RenamePlan::Plan plan = Renamer::check(list);
        QCOMPARE(plan.renameCount(), list.size());
        const auto log = Renamer::rename(list);
        QVERIFY(log);
        // The check foresaw every move: each file it planned holds what its old name held.
        for (const RenamePlan::File& file : plan.files) {
            QVERIFY(file.failure.isEmpty());
            QCOMPARE(readFile(file.to), text(file.from.lexically_relative(m_folder)).toUtf8());
        }
        for (qsizetype i = 0; i < list.size(); ++i) {
            QCOMPARE(list[i].status, Status::Renamed);
            QCOMPARE(list[i].url, child(m_folder, after[i]));
            QCOMPARE(readFile(list[i].url), items[i].toUtf8());
        }
        // Every file holds what one file held before, and the log has an entry for each that moved.
        qsizetype moved = 0;
        for (const QString& entry : std::as_const(after)) {
            const QString content = QString::fromUtf8(readFile(child(m_folder, entry)));
            QVERIFY(!isFile(entry) || files.contains(content));
            moved += isFile(entry) && content != entry;
        }
        after.sort();
        QCOMPARE(tree(m_folder), after);
        QCOMPARE(QJsonDocument::fromJson(readFile(*log)).object().size(), moved);

        const Renamer::UndoResult result = Renamer::undo(*log);
        QCOMPARE(result.outcome, Outcome::Replayed);
        QCOMPARE(result.restored, moved);
        QCOMPARE(qsizetype(result.moves.size()), moved);
        QVERIFY(!fs::exists(*log));
        files.sort();
        QCOMPARE(tree(m_folder), files);
        for (const QString& entry : std::as_const(files)) {
            if (isFile(entry))
                QCOMPARE(readFile(child(m_folder, entry)), entry.toUtf8());
        }
    }

    // What the check lists before a batch, file by file ("old new notes"), and that the batch then does
    // just that. A folder named "ro" cannot be written.
    void check_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("items");
        QTest::addColumn<QStringList>("proposed");
        QTest::addColumn<QStringList>("plan");
        const auto row = [](const char* tag, const char* files, const char* items, const char* proposed,
                             QStringList plan) {
            QTest::newRow(tag) << names(files) << names(items) << names(proposed) << plan;
        };
        row("plain", "a.mov", "a.mov", "茶楼", { u"a.mov 茶楼.mov "_s });
        row("same name twice", "a.mov b.mov", "a.mov b.mov", "茶楼 茶楼",
            { u"a.mov 茶楼.mov 与 b.mov 提议的名称相同，不加编号"_s,
                u"b.mov 茶楼-2.mov 与 a.mov 提议的名称相同，编号为“-2”"_s });
        row("taken on disk and by the batch", "茶楼.mov a.mov b.mov", "a.mov b.mov", "茶楼 茶楼",
            { u"a.mov 茶楼-2.mov 与 b.mov 提议的名称相同；同名文件已存在，编号为“-2”"_s,
                u"b.mov 茶楼-3.mov 与 a.mov 提议的名称相同；同名文件已存在，编号为“-3”"_s });
        row("companions", "a.CR3 a.JPG a.xmp", "a.CR3 a.JPG", "别的 茶楼",
            { u"a.CR3 茶楼.CR3 随 a.JPG 一起改名"_s, u"a.xmp 茶楼.xmp 随 a.CR3 一起改名"_s,
                u"a.JPG 茶楼.JPG "_s });
        row("gone", "b.mov", "a.mov b.mov", "茶楼 夜景",
            { u"a.mov - 原文件已不存在"_s, u"b.mov 夜景.mov "_s });
        row("folder not writable", "ro/ ro/a.mov", "ro/a.mov", "茶楼", { u"a.mov - 没有写入权限"_s });
        QTest::newRow("shortened") << names("a.mov") << names("a.mov") << QStringList { QString(100, u'茶') }
                                   << QStringList { u"a.mov "_s + QString(82, u'茶')
                                          + u".mov 名称过长，已截短以适合文件系统"_s };
    }

    void check()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, items);
        QFETCH(QStringList, proposed);
        QFETCH(QStringList, plan);
        makeTree(m_folder, files);
        const fs::path readOnly = child(m_folder, u"ro"_s);
        if (fs::exists(readOnly) && ::geteuid() == 0)
            QSKIP("root may write any folder");
        std::error_code error;
        fs::permissions(readOnly, fs::perms::owner_read | fs::perms::owner_exec, error);
        auto restore = qScopeGuard([&] { fs::permissions(readOnly, fs::perms::owner_all, error); });
        QList<VideoItem> list;
        for (qsizetype i = 0; i < items.size(); ++i)
            list.append(itemFor(child(m_folder, items[i]), proposed[i]));
        Companions::pairUp(list);

        const RenamePlan::Plan checked = Renamer::check(list);
        QStringList lines;
        for (const RenamePlan::File& file : checked.files) {
            lines.append(text(file.from.filename()) + u' '
                + (file.to.empty() ? u"-"_s : text(file.to.filename())) + u' '
                + RenamePlan::notes(file).join(u"；"_s));
        }
        QCOMPARE(lines, plan);
        QCOMPARE(checked.isPlain(), plan.size() == 1 && plan[0].endsWith(u' '));
        Renamer::rename(list);
        for (const RenamePlan::File& file : checked.files) {
            if (file.isSidecar)
                continue;
            QCOMPARE(list[file.item].url, file.to.empty() ? file.from : file.to);
            QCOMPARE(list[file.item].renameFailure, file.failure);
        }
    }

    // Analysed items with a usable name move, and pending or failed ones with a typed name; a file that
    // is gone is an error with its reason and the batch goes on. A batch where nothing moved leaves no log.
    void whatMoves()
    {
        QList<VideoItem> items;
        const QList<Status> statuses { Status::Pending, Status::Analyzing, Status::Renamed, Status::Error,
            Status::Analyzed, Status::Analyzed, Status::Naming, Status::Analyzed, Status::Analyzed,
            Status::Pending, Status::Error, Status::Analyzing };
        for (qsizetype i = 0; i < statuses.size(); ++i) {
            const fs::path path = child(m_folder, u"f%1.mov"_s.arg(i));
            if (i != 4)
                writeFile(path, "x");
            // 4 is gone; 7 has no name, 8 one that cleans to nothing; 9 to 11 have typed names.
            const QString name = i == 7 ? QString() : i == 8 ? u" / : * \t"_s : u"n%1"_s.arg(i);
            items.append(itemFor(path, name, statuses[i]));
            items.back().hasTypedName = i >= 9;
        }
        const QList<VideoItem> before = items;
        const auto log = Renamer::rename(items);
        QVERIFY(log);
        for (qsizetype i = 0; i < items.size(); ++i) {
            const bool eligible = i == 5 || i == 6 || i == 9 || i == 10;
            QCOMPARE(items[i].status, eligible ? Status::Renamed : i == 4 ? Status::Error : before[i].status);
            QCOMPARE(items[i].url == before[i].url, !eligible);
            QCOMPARE(items[i].renameFailure, i == 4 ? u"原文件已不存在"_s : QString());
        }
        QCOMPARE(QJsonDocument::fromJson(readFile(*log)).object().size(), 4);

        std::error_code error;
        fs::remove_all(Renamer::undoDirectory(), error);
        for (const int i : { 0, 4 }) {
            QList<VideoItem> one { before[i] };
            QVERIFY(!Renamer::rename(one));
            QCOMPARE(one[0].status, i == 4 ? Status::Error : Status::Pending);
            QVERIFY(!fs::exists(Renamer::undoDirectory()) || fs::is_empty(Renamer::undoDirectory()));
        }
    }

    void targetAppearsDuringBatch_data()
    {
        QTest::addColumn<bool>("hardLinks");
        QTest::newRow("rename without replace") << false;
        QTest::newRow("link and unlink") << true;
    }

    void targetAppearsDuringBatch()
    {
        QFETCH(bool, hardLinks);
        FileMoves::setForceHardLinks(hardLinks);
        const fs::path intruder = child(m_folder, u"茶楼.mov"_s);
        // Someone else creates the chosen name after the check and before the move.
        FileMoves::setStepHook([&](FileMoves::Step step, const fs::path& target) {
            if (step == FileMoves::Step::BeforeMove && target == intruder)
                writeFile(intruder, "someone else's");
        });
        VideoItem item;
        QVERIFY(renameOne(u"clip.mov"_s, u"茶楼"_s, item));
        QCOMPARE(item.status, Status::Renamed);
        QCOMPARE(item.url, child(m_folder, u"茶楼-2.mov"_s));
        QCOMPARE(readFile(intruder), "someone else's");
        QCOMPARE(readFile(item.url), "clip");
        QCOMPARE(tree(m_folder), (QStringList { u"茶楼-2.mov"_s, u"茶楼.mov"_s }));
    }

    void sidecarRaces()
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
        QCOMPARE(result.failures.size(), 2u);
        QCOMPARE(
            tree(m_folder), (QStringList { u"a.CR3"_s, u"茶楼-2.CR3"_s, u"茶楼-2.pp3"_s, u"茶楼.pp3"_s }));
    }

    void bytesThatAreNotUtf8()
    {
        // GBK names, as archives from other systems carry them: a folder and a file.
        const fs::path folder = m_folder / "\xb3\xc9\xb6\xbc";
        QVERIFY(fs::create_directory(folder));
        const fs::path source = folder / "\xc4\xe3\xba\xc3.MOV";
        writeFile(source, "gbk");
        QList<VideoItem> items { itemFor(source, u"茶楼"_s) };
        const auto log = Renamer::rename(items);
        QVERIFY(log);
        QCOMPARE(items[0].url, folder / "茶楼.MOV");

        const Renamer::UndoResult result = Renamer::undo(*log);
        QCOMPARE(result.outcome, Outcome::Replayed);
        QCOMPARE(result.restored, 1);
        QCOMPARE(tree(folder).size(), 1);
        QCOMPARE(readFile(source), "gbk");
    }

    // A second rename makes names from the names the files came with, and leaves alone a file that has
    // its proposed name already (numbered after a clash too); a name that is not UTF-8 keeps its bytes.
    // %g stands for a GBK name.
    void namesNeverNest_data()
    {
        QTest::addColumn<bool>("original");
        QTest::addColumn<QByteArrayList>("first");
        QTest::addColumn<QByteArrayList>("second");
        QTest::newRow("original part") << true << QByteArrayList { "海边_%g.jpg", "海边_IMG_0001.jpg" }
                                       << QByteArrayList { "湖边_%g.jpg", "湖边_IMG_0001.jpg" };
        QTest::newRow("numbered") << false << QByteArrayList { "海边-2.jpg", "海边.jpg" }
                                  << QByteArrayList { "湖边-2.jpg", "湖边.jpg" };
    }

    void namesNeverNest()
    {
        QFETCH(bool, original);
        QFETCH(QByteArrayList, first);
        QFETCH(QByteArrayList, second);
        const QByteArray gbk = "\xc4\xe3\xba\xc3";
        const auto listing = [&] {
            QByteArrayList names;
            for (const auto& entry : fs::directory_iterator(m_folder))
                names.append(QByteArray::fromStdString(entry.path().filename().native()).replace(gbk, "%g"));
            std::sort(names.begin(), names.end());
            return names;
        };
        writeFile(m_folder / "IMG_0001.jpg", "a");
        writeFile(m_folder / QByteArray(gbk + ".jpg").toStdString(), "b");
        const QByteArrayList before = listing();
        QTemporaryDir store;
        AppSettings settings(store.filePath(u"s.json"_s));
        settings.includeDate = settings.includeLocation = false;
        settings.includeOriginal = original;
        // The files as an import finds them, analysed.
        const auto analysed = [&](const QString& content) {
            QList<VideoItem> items;
            const Renamer::OriginalNames known = Renamer::OriginalNames::load();
            for (const auto& entry : fs::directory_iterator(m_folder)) {
                VideoItem item = itemFor(entry.path(), {});
                item.originalName = known.of(item.url);
                item.content = content;
                item.proposedName = NameBuilder::build(item, settings);
                items.append(item);
            }
            return items;
        };

        QList<VideoItem> items = analysed(u"海边"_s);
        const auto firstLog = Renamer::rename(items);
        QVERIFY(firstLog);
        QCOMPARE(listing(), first);
        items = analysed(u"海边"_s);
        QVERIFY(!Renamer::rename(items));
        for (const VideoItem& item : std::as_const(items)) {
            QCOMPARE(item.status, Status::Analyzed);
            QCOMPARE(item.keptName, item.proposedName);
        }
        QCOMPARE(listing(), first);
        items = analysed(u"湖边"_s);
        const auto secondLog = Renamer::rename(items);
        QVERIFY(secondLog);
        QCOMPARE(listing(), second);

        QCOMPARE(Renamer::undo(*secondLog).restored, 2);
        QCOMPARE(Renamer::undo(*firstLog).restored, 2);
        QCOMPARE(listing(), before);
    }

    // Each batch has its own private log, even within one second, and leaves nothing else behind.
    void logFiles()
    {
        QList<fs::path> logs;
        for (int i = 0; i < 3; ++i) {
            VideoItem item;
            const auto log = renameOne(u"clip%1.mov"_s.arg(i), u"茶楼"_s, item);
            QVERIFY(log);
            QCOMPARE(Renamer::latestLog(), log);
            logs.append(*log);
            const QByteArray json = readFile(*log);
            QVERIFY(json.contains("\n    \""));
            struct stat st
            { };
            QVERIFY(::lstat(item.url.c_str(), &st) == 0);
            QCOMPARE(QJsonDocument::fromJson(json).object(),
                (QJsonObject { { text(item.url),
                    QJsonObject { { u"original"_s, text(child(m_folder, u"clip%1.mov"_s.arg(i))) },
                        { u"device"_s, QString::number(st.st_dev) },
                        { u"inode"_s, QString::number(st.st_ino) } } } }));
        }
        const QStringList inUndoDirectory = tree(Renamer::undoDirectory());
        QCOMPARE(inUndoDirectory.size(), 3);
        QVERIFY(fs::status(Renamer::undoDirectory()).permissions() == fs::perms::owner_all);
        for (const fs::path& log : std::as_const(logs)) {
            QCOMPARE(log.parent_path(), Renamer::undoDirectory());
            QVERIFY(inUndoDirectory.contains(text(log.filename())));
            QVERIFY(QRegularExpression(u"^tagora_undo_\\d+(-\\d+)?\\.json$"_s)
                        .match(text(log.filename()))
                        .hasMatch());
            QVERIFY(fs::status(log).permissions() == (fs::perms::owner_read | fs::perms::owner_write));
        }
    }

    void noUndoDirectoryNoMoves()
    {
        // The state directory cannot be made: a file stands where it should be.
        const QByteArray saved = qgetenv("XDG_STATE_HOME");
        const fs::path blocker = child(m_folder, u"state"_s);
        writeFile(blocker, "");
        qputenv("XDG_STATE_HOME", QByteArray::fromStdString(blocker.native()));
        VideoItem item;
        const auto log = renameOne(u"clip.mov"_s, u"茶楼"_s, item);
        qputenv("XDG_STATE_HOME", saved);
        QVERIFY(!log);
        // Still there and analysed: ready for another try.
        QCOMPARE(item.status, Status::Analyzed);
        QCOMPARE(item.renameFailure, Renamer::Messages::NoUndoRecord);
        QCOMPARE(item.url, child(m_folder, u"clip.mov"_s));
        QCOMPARE(readFile(item.url), "clip");
    }

    void undoSkipsGoneAndOccupied()
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

        Renamer::UndoResult result = Renamer::undo(*log);
        QCOMPARE(result.restored, 1);
        QCOMPARE(result.failures.size(), 2u);
        QCOMPARE(result.failures[0].reason, Reason::Gone);
        QCOMPARE(result.failures[1].reason, Reason::OriginalTaken);
        QCOMPARE(readFile(child(m_folder, u"occupied.mov"_s)), "a new file");
        QCOMPARE(readFile(items[1].url), "occupied.mov");
        QCOMPARE(readFile(child(m_folder, u"fine.mov"_s)), "fine.mov");
        // The log keeps what a later undo can finish: not the file that is gone.
        QCOMPARE(result.remaining, log);
        QCOMPARE(QJsonDocument::fromJson(readFile(*log)).object().keys(), QStringList { text(items[1].url) });

        QVERIFY(fs::remove(child(m_folder, u"occupied.mov"_s)));
        result = Renamer::undo(*log);
        QCOMPARE(result.restored, 1);
        QVERIFY(result.failures.empty() && !result.remaining);
        QCOMPARE(readFile(child(m_folder, u"occupied.mov"_s)), "occupied.mov");
        QVERIFY(!fs::exists(*log));
    }

    // Logs from elsewhere: other JSON writers escape every slash; what is no undo log is refused and
    // kept; an entry no batch makes, or for another file than the batch renamed, is refused while the
    // rest of the log goes back. %G is such a rest, %D and %I the identity of new.mov, %J of other.mov.
    void undoLogs_data()
    {
        QTest::addColumn<QByteArray>("text"); // %1 is the folder; "missing": there is no log
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<int>("refused"); // the reason new.mov stays, -1: it goes back
        const auto row
            = [](const char* tag, const char* text, int outcome, int refused = -1, int mode = 0600) {
                  QTest::newRow(tag) << QByteArray(text) << mode << outcome << refused;
              };
        const int replayed = int(Outcome::Replayed);
        row("escaped slashes", "{\n    \"%1\\/new.mov\" : \"%1\\/old.mov\"\n}\n", replayed);
        row("identified",
            "{\"%1/new.mov\": {\"original\": \"%1/old.mov\", \"device\": \"%D\", \"inode\": \"%I\"}}",
            replayed);
        row("across folders", "{\"%1/new.mov\": \"%1/sub/old.mov\", %G}", replayed, int(Reason::TwoFolders));
        row("up a folder", "{\"%1/sub/../new.mov\": \"%1/old.mov\", %G}", replayed, int(Reason::TwoFolders));
        row("swapped inode",
            "{\"%1/new.mov\": {\"original\": \"%1/old.mov\", \"device\": \"%D\", \"inode\": \"%J\"}, %G}",
            replayed, int(Reason::OtherFile));
        row("a folder", "{\"%1/sub\": \"%1/old.mov\", %G}", replayed, int(Reason::NotRegularFile));
        row("a link", "{\"%1/link\": \"%1/old.mov\", %G}", replayed, int(Reason::NotRegularFile));
        row("writable by others", "{\"%1/new.mov\": \"%1/old.mov\"}", int(Outcome::Refused), -1, 0622);
        row("a value is a number", "{\"%1/new.mov\": \"%1/old.mov\", \"%1/x.mov\": 3}",
            int(Outcome::Malformed));
        row("not JSON", "not json", int(Outcome::Malformed));
        row("an array", "[\"%1/new.mov\"]", int(Outcome::Malformed));
        row("empty file", "", int(Outcome::Malformed));
        row("no such file", "missing", int(Outcome::Unreadable));
    }

    void undoLogs()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, mode);
        QFETCH(int, outcome);
        QFETCH(int, refused);

        makeTree(m_folder, { u"new.mov"_s, u"good-new.mov"_s, u"other.mov"_s, u"sub/"_s, u"link@"_s });
        const fs::path log = m_folder / "log.json";
        struct stat st
        { };
        QVERIFY(::lstat(child(m_folder, u"new.mov"_s).c_str(), &st) == 0);
        text.replace("%D", QByteArray::number(qulonglong(st.st_dev)));
        text.replace("%I", QByteArray::number(qulonglong(st.st_ino)));
        QVERIFY(::lstat(child(m_folder, u"other.mov"_s).c_str(), &st) == 0);
        text.replace("%J", QByteArray::number(qulonglong(st.st_ino)));
        text.replace("%G", "\"%1/good-new.mov\": \"%1/good.mov\"");
        QByteArray folder = QByteArray::fromStdString(m_folder.native());
        if (text != "missing") {
            writeFile(log, text.replace("%1", text.contains("\\/") ? folder.replace("/", "\\/") : folder));
            fs::permissions(log, fs::perms(mode));
        }
        const Renamer::UndoResult result = Renamer::undo(log);
        const bool replayed = outcome == int(Outcome::Replayed);
        const bool moved = replayed && refused < 0;
        QCOMPARE(int(result.outcome), outcome);
        QCOMPARE(result.restored, int(moved) + int(text.contains("good-new")));
        QCOMPARE(result.failures.size(), size_t(replayed && !moved));
        if (!result.failures.empty())
            QCOMPARE(int(result.failures[0].reason), refused);
        QVERIFY(!result.remaining);
        // A log from outside the private folder is never removed.
        QCOMPARE(fs::exists(log), outcome != int(Outcome::Unreadable));
        QCOMPARE(fs::exists(child(m_folder, u"new.mov"_s)), !moved);
        QCOMPARE(fs::exists(child(m_folder, u"old.mov"_s)), moved);
    }

    // A journal handed in names two links of one file, and a file in another folder: nothing moves and
    // no name goes.
    void craftedJournal()
    {
        makeTree(m_folder, { u"a.mov"_s, u"sub/"_s, u"sub/c.mov"_s });
        fs::create_hard_link(child(m_folder, u"a.mov"_s), child(m_folder, u"b.mov"_s));
        QByteArray lines;
        for (const auto& [renamed, original] : { std::pair { "b.mov", "a.mov" }, { "sub/c.mov", "c.mov" } }) {
            struct stat st
            { };
            QVERIFY(::lstat(child(m_folder, QString::fromUtf8(renamed)).c_str(), &st) == 0);
            lines += QJsonDocument(QJsonArray { text(child(m_folder, QString::fromUtf8(renamed))),
                                       text(child(m_folder, QString::fromUtf8(original))),
                                       QString::number(st.st_dev), QString::number(st.st_ino) })
                         .toJson(QJsonDocument::Compact)
                + '\n';
        }
        const fs::path journal = m_folder / "tagora_undo_1.json.journal";
        writeFile(journal, lines);
        fs::permissions(journal, fs::perms::owner_read | fs::perms::owner_write);
        const QStringList before = tree(m_folder);
        const Renamer::UndoResult result = Renamer::undo(journal);
        QCOMPARE(result.outcome, Outcome::Replayed);
        QCOMPARE(result.restored, 0);
        QCOMPARE(tree(m_folder), before);
    }
};

QTEST_GUILESS_MAIN(TestRenamer)
#include "TestRenamer.moc"

// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/AppModel.h"
#include "core/Messages.h"
#include "core/PictureCache.h"
#include "naming/Companions.h"
#include "support/ImportWait.h"
#include "support/MediaFixtures.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
namespace fs = std::filesystem;

namespace {

fs::path fsPath(const QString& path)
{
    return fs::path(QFile::encodeName(path).toStdString());
}

// Creates an empty file and any missing folders.
void touch(const fs::path& path)
{
    fs::create_directories(path.parent_path());
    // By bytes: names in these tests need not be valid UTF-8.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        qFatal("cannot create %s", path.c_str());
    ::close(fd);
}

QStringList fileNames(const AppModel& model)
{
    QStringList names;
    for (const VideoItem& item : model.items())
        names << displayFileName(item.url);
    return names;
}

} // namespace

class TestAppModel : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_config;
    std::unique_ptr<QTemporaryDir> m_media;
    std::unique_ptr<AppModel> m_model;

    fs::path media(const QString& relative) const
    {
        return fsPath(m_media->filePath(relative));
    }

    AppModel& model(const QString& target = u"videos"_s)
    {
        m_model = std::make_unique<AppModel>(m_config.filePath(u"none.json"_s));
        m_model->settings().mediaTargetRaw = target;
        return *m_model;
    }

private slots:
    void init()
    {
        m_media = std::make_unique<QTemporaryDir>();
        QVERIFY(m_media->isValid());
    }

    void cleanup()
    {
        m_model.reset();
    }

    // Pictures of a run that was killed go when the next cache starts, not at its first analysis; so do
    // folders untouched for more than a week, whatever process now has their number, unless a running
    // program holds them.
    void abandonedCacheFoldersAreSwept()
    {
        const pid_t child = ::fork();
        if (child == 0)
            ::_exit(0);
        QVERIFY(child > 0 && ::waitpid(child, nullptr, 0) == child);
        const std::filesystem::path root = fsPath(m_media->filePath(u"cache"_s));
        const auto folder = [&](const std::string& name) { return root / name; };
        const std::string self = std::to_string(::getpid());
        const std::string dead = "run-" + std::to_string(child) + "-a";
        for (const std::string& name : std::vector<std::string> {
                 dead, "run-1-old", "run-1-held", "run-1-new", "run-" + self + "-own", "kept" })
            std::filesystem::create_directories(folder(name) / "x");
        for (const char* name : { "run-1-old", "run-1-held" })
            std::filesystem::last_write_time(
                folder(name), std::filesystem::file_time_type::clock::now() - std::chrono::days(8));
        const int held = ::open(folder("run-1-held").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QVERIFY(held >= 0 && ::flock(held, LOCK_EX) == 0);
        const auto release = qScopeGuard([held] { ::close(held); });
        PictureCache cache(root);
        QTRY_VERIFY(!std::filesystem::exists(folder(dead)) && !std::filesystem::exists(folder("run-1-old")));
        for (const std::string& name :
            std::vector<std::string> { "run-1-held", "run-1-new", "run-" + self + "-own", "kept" })
            QVERIFY(std::filesystem::exists(folder(name)));
    }

    void filters_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("kind"); // empty: not accepted
        QTest::newRow("mp4 as video") << u"a.mp4"_s << u"videos"_s << u"video"_s;
        QTest::newRow("upper-case MOV") << u"CLIP.MOV"_s << u"videos"_s << u"video"_s;
        QTest::newRow("JPG with videos") << u"photo.JPG"_s << u"videos"_s << QString();
        QTest::newRow("JPG with photos") << u"photo.JPG"_s << u"photos"_s << u"photo"_s;
        QTest::newRow("mp4 with photos") << u"a.mp4"_s << u"photos"_s << QString();
        QTest::newRow("ts with both") << u"stream.ts"_s << u"both"_s << u"video"_s;
        QTest::newRow("camera RAW") << u"DSC_0001.NEF"_s << u"both"_s << u"photo"_s;
        QTest::newRow("no extension") << u"mp4"_s << u"both"_s << QString();
        QTest::newRow("trailing dot") << u"clip.mp4."_s << u"both"_s << QString();
        QTest::newRow("double extension") << u"clip.mp4.part"_s << u"both"_s << QString();
        QTest::newRow("hidden file named directly") << u"._a.mp4"_s << u"videos"_s << u"video"_s;
        QTest::newRow("unknown target acts as videos") << u"a.mkv"_s << u"Photos"_s << u"video"_s;
    }

    void filters()
    {
        QFETCH(QString, name);
        QFETCH(QString, target);
        QFETCH(QString, kind);
        AppModel& m = model(target);
        touch(media(name));
        QVERIFY(importAndWait(m, { media(name) }));
        QCOMPARE(m.items().size(), kind.isEmpty() ? 0 : 1);
        if (kind.isEmpty()) {
            QCOMPARE(m.statusMessage(), Messages::NothingAdded);
            return;
        }
        const VideoItem& item = m.items().first();
        QCOMPARE(rawValue(item.mediaKind), kind);
        QCOMPARE(item.status, VideoItem::Status::Pending);
        QVERIFY(item.frames.isEmpty() && !item.montage && item.analysisText.isEmpty()
            && item.content.isEmpty() && item.location.isEmpty() && item.proposedName.isEmpty()
            && !item.coordinate && !item.geoPlace);
        QVERIFY(!item.id.isNull());
        QCOMPARE(m.statusMessage(), u"已导入 1 个素材（列表共 1 个）"_s);
    }

    void folderImport_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("both") << u"both"_s << QStringList { u"b.jpg"_s, u"c.mov"_s, u"a.mp4"_s, u"d.mkv"_s };
        QTest::newRow("videos") << u"videos"_s << QStringList { u"c.mov"_s, u"a.mp4"_s, u"d.mkv"_s };
    }

    void folderImport()
    {
        QFETCH(QString, target);
        QFETCH(QStringList, expected);
        AppModel& m = model(target);
        touch(media(u"trip/c.mov"_s));
        touch(media(u"trip/b.jpg"_s));
        touch(media(u"trip/._a.mp4"_s)); // hidden file
        touch(media(u"trip/.thumbs/x.mp4"_s)); // inside a hidden folder
        touch(media(u"trip/notes.txt"_s));
        touch(media(u"trip/day1/a.mp4"_s));
        touch(media(u"trip/day1/sub/d.mkv"_s));
        touch(media(u"trip/folder.mp4/e.txt"_s)); // a folder named like a clip is no item
        QVERIFY(importAndWait(m, { media(u"trip"_s) }));
        // Each folder's files in name order, then its subfolders.
        QCOMPARE(fileNames(m), expected);
        QCOMPARE(m.statusMessage(), Messages::imported(expected.size(), expected.size()));
    }

    void duplicates()
    {
        AppModel& m = model();
        touch(media(u"dir/a.mp4"_s));
        touch(media(u"dir/b.mp4"_s));
        // The same file given twice in one import, and once more through its folder.
        QVERIFY(importAndWait(m, { media(u"dir/a.mp4"_s), media(u"dir/a.mp4"_s), media(u"dir"_s) }));
        QCOMPARE(fileNames(m), (QStringList { u"a.mp4"_s, u"b.mp4"_s }));
        QCOMPARE(m.statusMessage(), u"已导入 2 个素材（列表共 2 个）"_s);

        QVERIFY(importAndWait(m, { media(u"dir/a.mp4"_s) }));
        QCOMPARE(m.items().size(), 2);
        QCOMPARE(m.statusMessage(), Messages::NothingAdded);

        // Another spelling of the same path is the same path.
        QVERIFY(
            importAndWait(m, { media(u"dir/./b.mp4"_s), media(u"dir/../dir/a.mp4"_s), media(u"dir/"_s) }));
        QCOMPARE(m.items().size(), 2);

        // Once removed, a file can come back.
        m.removeItems({ 0 });
        QVERIFY(importAndWait(m, { media(u"dir"_s) }));
        QCOMPARE(fileNames(m), (QStringList { u"b.mp4"_s, u"a.mp4"_s }));
        QCOMPARE(m.statusMessage(), u"已导入 1 个素材（列表共 2 个）"_s);

        // As a rename does: the item moves to c.mp4, and its old path is free to be imported again.
        touch(media(u"dir/c.mp4"_s));
        m.mutateItem(m.items().at(1).id, [&](VideoItem& item) { item.url = media(u"dir/c.mp4"_s); });
        QVERIFY(importAndWait(m, { media(u"dir/c.mp4"_s) }));
        QCOMPARE(m.items().size(), 2);
        QVERIFY(importAndWait(m, { media(u"dir/a.mp4"_s) }));
        QCOMPARE(m.items().size(), 3);
    }

    // A fresh model welcomes; an empty import keeps that, and notifies later. Each notify() is one signal,
    // and none reaches a model that is gone.
    void notifications()
    {
        AppModel& m = model();
        QCOMPARE(m.statusMessage(), Messages::Welcome);
        QVERIFY(m.items().isEmpty());
        QVERIFY(!m.lastUndoLog());
        QSignalSpy changed(&m, &AppModel::changed);
        QVERIFY(importAndWait(m, {}));
        QCOMPARE(m.statusMessage(), Messages::Welcome);
        QCOMPARE(changed.count(), 0); // asynchronous
        QVERIFY(changed.wait(1000));
        changed.clear();
        m.notify();
        m.notify();
        QCOMPARE(changed.count(), 0);
        QTRY_COMPARE(changed.count(), 2);

        m.notify();
        m_model.reset();
        QCoreApplication::processEvents(); // must not touch the destroyed model
    }

    // Odd things a folder may hold: the import takes what it can and never hangs or stops. A folder that
    // cannot be read is passed over (root reads every folder).
    void oddEntries()
    {
        AppModel& m = model();
        const fs::path dir = media(u"odd"_s);
        touch(dir / "a.mp4");
        touch(dir / "locked/b.mp4");
        touch(dir / "open/c.mp4");
        ::chmod((dir / "locked").c_str(), 0);
        fs::create_symlink(dir / "missing.mp4", dir / "broken.mp4");
        fs::create_directory_symlink(dir, dir / "loop");
        QCOMPARE(::mkfifo((dir / "pipe.mp4").c_str(), 0600), 0);
        const std::string gbk = "\xb2\xe2\xca\xd4.mp4"; // "测试" in GBK: not valid UTF-8
        touch(dir / gbk);
        QVERIFY(importAndWait(m, { dir, media(u"does-not-exist.mp4"_s) }));
        ::chmod((dir / "locked").c_str(), 0700);

        const QStringList names = fileNames(m);
        QCOMPARE(names.contains(u"b.mp4"_s), ::geteuid() == 0);
        QVERIFY(names.contains(u"c.mp4"_s));
        QCOMPARE(names.size(), ::geteuid() == 0 ? 7 : 6);
        // A path that does not exist but carries a clip's extension is still listed.
        QCOMPARE(names.last(), u"does-not-exist.mp4"_s);
        bool foundGbk = false;
        for (const VideoItem& item : m.items()) {
            if (item.url.filename().native() == gbk) {
                foundGbk = true;
                QVERIFY(fs::exists(item.url)); // byte-exact: a later rename finds the file
            }
        }
        QVERIFY(foundGbk);
        fs::remove(dir / "loop");
        fs::remove(dir / "pipe.mp4");
        fs::remove(dir / gbk); // QTemporaryDir cannot remove names that are not UTF-8
    }

    void importReadsDateAndFolderPlace()
    {
        if (!MediaFixtures::hasTool(u"ffmpeg"_s) || !MediaFixtures::hasTool(u"exiv2"_s))
            QSKIP("ffmpeg and exiv2 make the fixtures");
        AppModel& m = model(u"both"_s);
        const QString photo = m_media->filePath(u"素材/2026/1919茶楼/0208茶楼/p.jpg"_s);
        QDir().mkpath(QFileInfo(photo).path());
        QVERIFY(MediaFixtures::makeJpeg(photo));
        QVERIFY(MediaFixtures::setExif(photo, { u"Exif.Photo.DateTimeOriginal 2026:09:18 14:03:12"_s }));
        QVERIFY(importAndWait(m, { fsPath(photo) }));
        QCOMPARE(m.items().size(), 1);
        QCOMPARE(m.items().first().creationDate, QDateTime(QDate(2026, 9, 18), QTime(14, 3, 12), Qt::UTC));
        // The temporary folder's own name sits above 素材; only the outermost meaningful name counts,
        // so compare against what the folder walk gives for the same path.
        QVERIFY(m.items().first().pathPlace.has_value());
        // Added as a folder: its own name counts, nothing above it.
        AppModel& folder = model(u"both"_s);
        QVERIFY(importAndWait(folder, { fsPath(m_media->filePath(u"素材/2026/1919茶楼/"_s)) }));
        QCOMPARE(folder.items().first().pathPlace, u"1919茶楼"_s);

        AppModel& without = model(u"both"_s);
        without.settings().usePathPlace = false;
        QVERIFY(importAndWait(without, { fsPath(photo) }));
        QVERIFY(!without.items().first().pathPlace.has_value());
    }

    void companionsAtImport()
    {
        AppModel& m = model(u"both"_s);
        for (const QString& name : { u"IMG_0050.JPG"_s, u"IMG_0050.CR3"_s, u"IMG_0050.CR3.xmp"_s,
                 u"IMG_0050.xmp"_s, u"clip.mp4"_s, u"clip.SRT"_s, u"clip.srt"_s, u"IMG_0042.HEIC"_s,
                 u"IMG_0042.MOV"_s, u"sub/IMG_0050.CR3"_s, u"sub/IMG_0050.thm/x"_s })
            touch(media(name));
        QVERIFY(importAndWait(m, { media(QString()) }));
        // Sidecars are no items; a MOV whose length is unknown is no Live Photo; halves in two folders
        // are no pair.
        const QStringList expected { u"IMG_0042.HEIC"_s, u"IMG_0042.MOV"_s, u"IMG_0050.CR3"_s,
            u"IMG_0050.JPG"_s, u"clip.mp4"_s, u"IMG_0050.CR3"_s };
        QCOMPARE(fileNames(m), expected);
        QStringList described;
        for (const VideoItem& item : m.items())
            described << Companions::describe(item);
        QCOMPARE(described,
            (QStringList { QString(), QString(), u"随附文件：IMG_0050.JPG、IMG_0050.CR3.xmp、IMG_0050.xmp"_s,
                u"随附文件：IMG_0050.CR3、IMG_0050.CR3.xmp、IMG_0050.xmp"_s,
                u"随附文件：clip.SRT、clip.srt"_s, QString() }));
        QVERIFY(m.items().at(2).followsPartner);

        // An edit of one half is an edit of both; without its picture the RAW stands alone again.
        m.mutateItem(m.items().at(2).id, [](VideoItem& item) { item.content = u"茶楼"_s; });
        QCOMPARE(m.items().at(3).content, u"茶楼"_s);
        m.removeItems({ 3 });
        QVERIFY(!m.items().at(2).followsPartner);
        QCOMPARE(m.items().at(2).companions.size(), size_t(2));
    }

    void removal_data()
    {
        QTest::addColumn<QList<int>>("positions");
        QTest::addColumn<QStringList>("left");
        QTest::addColumn<int>("removed"); // -1: nothing said
        const QStringList all { u"a.mp4"_s, u"b.mp4"_s, u"c.mp4"_s };
        QTest::newRow("first and last") << QList<int> { 0, 2 } << QStringList { u"b.mp4"_s } << 2;
        QTest::newRow("outside") << QList<int> { 5 } << all << 0;
        QTest::newRow("repeated position counts once")
            << QList<int> { 1, 1 } << QStringList { u"a.mp4"_s, u"c.mp4"_s } << 1;
        QTest::newRow("negative ignored")
            << QList<int> { -1, 0 } << QStringList { u"b.mp4"_s, u"c.mp4"_s } << 1;
        QTest::newRow("none") << QList<int> {} << all << -1;
    }

    void removal()
    {
        QFETCH(QList<int>, positions);
        QFETCH(QStringList, left);
        QFETCH(int, removed);
        AppModel& m = model();
        for (const char* name : { "a.mp4", "b.mp4", "c.mp4" })
            touch(media(QString::fromLatin1(name)));
        QVERIFY(importAndWait(m, { media(u"a.mp4"_s), media(u"b.mp4"_s), media(u"c.mp4"_s) }));
        QCoreApplication::processEvents(); // the import's own notification
        const QString imported = m.statusMessage();
        QSignalSpy changed(&m, &AppModel::changed);
        m.removeItems(positions);
        QCOMPARE(fileNames(m), left);
        QCOMPARE(m.statusMessage(),
            removed < 0 ? imported : u"已从列表移除 %1 个（磁盘文件未被删除）"_s.arg(removed));
        QCOMPARE(changed.count() > 0 || changed.wait(100), removed >= 0);
        QVERIFY(fs::exists(media(u"a.mp4"_s))); // files on disk are never touched
    }

    void clearing()
    {
        AppModel& m = model();
        m.clearItems();
        QCOMPARE(m.statusMessage(), Messages::ListAlreadyEmpty);
        touch(media(u"a.mp4"_s));
        QVERIFY(importAndWait(m, { media(u"a.mp4"_s) }));
        m.clearItems();
        QVERIFY(m.items().isEmpty());
        QCOMPARE(m.statusMessage(), Messages::ListCleared);
        QVERIFY(!m.lastUndoLog());
        QVERIFY(fs::exists(media(u"a.mp4"_s)));
        QVERIFY(importAndWait(m, { media(u"a.mp4"_s) })); // the cleared list forgot the path
        QCOMPARE(m.items().size(), 1);
    }

    // Background work keeps only ids; the list may change under it.
    void addressingByIdSurvivesListChanges()
    {
        AppModel& m = model();
        for (const char* name : { "a.mp4", "b.mp4", "c.mp4", "d.mp4" })
            touch(media(QString::fromLatin1(name)));
        QVERIFY(importAndWait(m, { media(u"a.mp4"_s), media(u"b.mp4"_s), media(u"c.mp4"_s) }));
        const QUuid a = m.items().at(0).id;
        const QUuid c = m.items().at(2).id;

        m.removeItems({ 0 });
        QVERIFY(importAndWait(m, { media(u"d.mp4"_s) }));
        QVERIFY(!m.itemSnapshot(a));
        QCOMPARE(displayFileName(m.itemSnapshot(c)->url), u"c.mp4"_s);

        QSignalSpy changed(&m, &AppModel::changed);
        bool called = false;
        QVERIFY(!m.mutateItem(a, [&](VideoItem&) { called = true; }));
        QVERIFY(!called);
        QCOMPARE(changed.count(), 0);

        QVERIFY(m.mutateItem(c, [](VideoItem& item) { item.content = u"茶楼"_s; }));
        QCOMPARE(changed.count(), 1); // at once, not queued
        QCOMPARE(m.items().at(1).content, u"茶楼"_s);
    }
};

QTEST_GUILESS_MAIN(TestAppModel)
#include "TestAppModel.moc"

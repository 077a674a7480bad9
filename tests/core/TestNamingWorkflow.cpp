// SPDX-License-Identifier: GPL-3.0-or-later
// Places back-filled from folders, names rebuilt, a batch renamed on disk and undone.

#include "core/AppModel.h"
#include "core/Messages.h"
#include "naming/Messages.h"
#include "naming/NameBuilder.h"
#include "naming/UndoLog.h"
#include "support/ImportWait.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
namespace fs = std::filesystem;

class TestNamingWorkflow : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_state;
    std::unique_ptr<QTemporaryDir> m_media;
    std::unique_ptr<AppModel> m_model;

    fs::path file(const QString& relative)
    {
        const QString path = m_media->filePath(relative);
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            qFatal("cannot create a test file");
        f.write(relative.toUtf8());
        return fs::path(QFile::encodeName(path).toStdString());
    }

    // Imports the files, then marks them analysed with this content, as an analysis run would.
    AppModel& analysed(const QStringList& relatives, const QString& content = u"喝茶"_s)
    {
        m_model = std::make_unique<AppModel>(m_state.filePath(u"settings.json"_s));
        std::vector<fs::path> paths;
        for (const QString& relative : relatives)
            paths.push_back(file(relative));
        m_model->settings().usePathPlace = false;
        if (!importAndWait(*m_model, paths))
            qFatal("the import did not finish");
        for (const VideoItem& item : m_model->items()) {
            m_model->mutateItem(item.id, [&](VideoItem& it) {
                it.status = VideoItem::Status::Analyzed;
                it.content = content;
                it.proposedName = NameBuilder::build(it, m_model->settings());
            });
        }
        m_model->settings().usePathPlace = true;
        return *m_model;
    }

    void setStatus(int position, VideoItem::Status status)
    {
        m_model->mutateItem(m_model->items().at(position).id, [&](VideoItem& item) { item.status = status; });
    }

private slots:
    void init()
    {
        m_media = std::make_unique<QTemporaryDir>();
        // Undo logs go to the private state directory: one per test, so that each starts without history.
        qputenv("XDG_STATE_HOME", QFile::encodeName(m_media->filePath(u".state"_s)));
    }

    static QString undone(qsizetype count, const fs::path& log)
    {
        return Messages::undone(count, QDateTime::fromSecsSinceEpoch(*UndoLog::timeOfLog(log)));
    }

    void backfillOffDoesNothing()
    {
        AppModel& m = analysed({ u"茶楼/a.mp4"_s });
        m.settings().usePathPlace = false;
        QCoreApplication::processEvents(); // the import's own notification
        QSignalSpy changed(&m, &AppModel::changed);
        m.backfillPathPlaces();
        QVERIFY(!m.items().first().pathPlace);
        QVERIFY(!changed.wait(100));
    }

    void backfillFillsPlacesAndNames()
    {
        // Five unnamed levels below 茶楼, so that the six folders inspected end there and not at the
        // temporary folder's own name.
        const QString deep = u"茶楼/1/2/3/4/5/"_s;
        AppModel& m
            = analysed({ deep + u"a.mp4"_s, deep + u"b.mp4"_s, deep + u"c.mp4"_s, deep + u"d.mp4"_s });
        const auto id = [&](int i) { return m.items().at(i).id; };
        m.mutateItem(id(1), [](VideoItem& item) {
            item.location = u"上里古镇"_s;
            item.proposedName = u"kept"_s;
        });
        m.mutateItem(id(2), [](VideoItem& item) { item.pathPlace = QString(); }); // derived once, empty
        setStatus(3, VideoItem::Status::Pending);
        m.mutateItem(id(3), [](VideoItem& item) { item.proposedName.clear(); });
        m.mutateItem(id(0), [](VideoItem& item) { item.location = u" \t"_s; }); // blank counts as empty

        m.backfillPathPlaces();
        const auto& items = m.items();
        QCOMPARE(items.at(0).pathPlace, u"茶楼"_s);
        QCOMPARE(items.at(0).location, u"茶楼"_s);
        QCOMPARE(items.at(0).proposedName, NameBuilder::build(items.at(0), m.settings()));
        QVERIFY(items.at(0).proposedName.contains(u"茶楼"_s));
        QCOMPARE(items.at(1).pathPlace, u"茶楼"_s);
        QCOMPARE(items.at(1).location, u"上里古镇"_s);
        QCOMPARE(items.at(1).proposedName, u"kept"_s);
        QCOMPARE(items.at(2).pathPlace, QString());
        QCOMPARE(items.at(3).location, u"茶楼"_s);
        QCOMPARE(items.at(3).proposedName, QString()); // pending items get no name
        QCOMPARE(m.statusMessage(), Messages::placesFilled(3));
    }

    void regenerateTouchesOnlyAnalysedItems()
    {
        AppModel& m = analysed({ u"x/a.mp4"_s, u"x/b.mp4"_s, u"x/c.mp4"_s });
        setStatus(1, VideoItem::Status::Renamed);
        setStatus(2, VideoItem::Status::Error);
        const QString before1 = m.items().at(1).proposedName;
        m.settings().separator = u"-"_s;
        m.regenerateNames();
        QVERIFY(m.items().at(0).proposedName.contains(u"-"_s));
        QVERIFY(!m.items().at(0).proposedName.contains(u"_"_s));
        QCOMPARE(m.items().at(1).proposedName, before1);
    }

    void renameAndUndo()
    {
        AppModel& m
            = analysed({ u"trip/a.mp4"_s, u"trip/b.mp4"_s, u"trip/c.mp4"_s, u"trip/gone.mp4"_s }, u"看海"_s);
        setStatus(2, VideoItem::Status::Pending);
        const fs::path oldA = m.items().at(0).url;
        const fs::path oldC = m.items().at(2).url;
        QVERIFY(fs::remove(m.items().at(3).url));

        // A move that fails is counted, and its item says why instead of showing the model's reply.
        m.renameAll();
        QCOMPARE(m.statusMessage(), u"已重命名 2 个（可一键撤销），1 个失败（原因见各项）"_s);
        QCOMPARE(m.items().at(3).renameFailure, u"原文件已不存在"_s);
        QVERIFY(m.lastUndoLog());
        const fs::path firstLog = *m.lastUndoLog();
        QCOMPARE(m.items().at(0).status, VideoItem::Status::Renamed);
        QVERIFY(fs::exists(m.items().at(0).url));
        QVERIFY(!fs::exists(oldA));
        // Imported again, a renamed file takes its original-name part from the name it came with.
        AppModel again(m_state.filePath(u"settings.json"_s));
        QVERIFY(importAndWait(again, { m.items().at(0).url }));
        QCOMPARE(again.items().at(0).originalName, oldA.filename().native());

        // A second batch: the count covers every renamed item, the log only this batch.
        setStatus(2, VideoItem::Status::Analyzed);
        m.renameAll();
        QCOMPARE(m.statusMessage(), Messages::renamed(3));
        const fs::path renamedC = m.items().at(2).url;
        QVERIFY(renamedC != oldC);
        const fs::path secondLog = *m.lastUndoLog();

        // The old name is taken meanwhile: the file stays renamed, and the log stays for a later undo.
        QVERIFY(QFile(QFile::decodeName(QByteArray::fromStdString(oldC.native()))).open(QIODevice::NewOnly));
        m.undoLast();
        QCOMPARE(m.statusMessage(), undone(0, secondLog) + u"；"_s + Renamer::Messages::filesLeft(1));
        QVERIFY(m.canUndo());
        QVERIFY(m.lastUndoLog());
        QCOMPARE(m.items().at(2).url, renamedC);
        QVERIFY(fs::remove(oldC));

        m.undoLast();
        QCOMPARE(m.statusMessage(), undone(1, secondLog));
        QVERIFY(!m.lastUndoLog());
        for (qsizetype i = 0; i < 3; ++i) { // the fourth file is gone
            const VideoItem& item = m.items().at(i);
            // Only the last batch went back.
            QCOMPARE(item.status, i == 2 ? VideoItem::Status::Analyzed : VideoItem::Status::Renamed);
            QVERIFY2(fs::exists(item.url), item.url.c_str()); // the list names what is on disk
        }
        QCOMPARE(m.items().at(2).url, oldC);
        QVERIFY(!fs::exists(renamedC));

        // The history goes on after a restart: a new model undoes the first batch, then has none left.
        m_model = std::make_unique<AppModel>(m_state.filePath(u"settings.json"_s));
        QVERIFY(m_model->canUndo());
        m_model->undoLast();
        QCOMPARE(m_model->statusMessage(), undone(2, firstLog));
        QVERIFY(fs::exists(oldA));
        QVERIFY(!m_model->canUndo());
        m_model->undoLast();
        QCOMPARE(m_model->statusMessage(), Messages::NothingToUndo);
    }

    void nothingToRename()
    {
        AppModel& m = analysed({ u"y/a.mp4"_s });
        setStatus(0, VideoItem::Status::Pending);
        m.renameAll();
        QCOMPARE(m.statusMessage(), Messages::NothingToRename);
        QVERIFY(!m.lastUndoLog());
        m.undoLast();
        QCOMPARE(m.statusMessage(), Messages::NothingToUndo);
    }

    // Clearing the list keeps the history: the file goes back though no item names it.
    void clearingKeepsTheHistory()
    {
        AppModel& m = analysed({ u"z/a.mp4"_s });
        const fs::path old = m.items().at(0).url;
        m.renameAll();
        m.clearItems();
        QVERIFY(!m.lastUndoLog());
        m.undoLast();
        QVERIFY(m.statusMessage().startsWith(Messages::undone(1)));
        QVERIFY(fs::exists(old));
    }
};

QTEST_GUILESS_MAIN(TestNamingWorkflow)
#include "TestNamingWorkflow.moc"

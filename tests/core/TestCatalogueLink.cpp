// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/AppModel.h"
#include "core/CatalogueLink.h"
#include "core/Messages.h"
#include "support/ImportWait.h"
#include "support/MediaFixtures.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace Qt::StringLiterals;
namespace fs = std::filesystem;

namespace {

// What a finished analysis leaves on an item, stamped with the model's current settings.
void analyse(AppModel& model, qsizetype position, const QString& content)
{
    const Catalogue::AnalysisKey key = CatalogueLink::keyOf(model.settings());
    model.mutateItem(model.items().at(position).id, [&](VideoItem& item) {
        item.status = VideoItem::Status::Analyzed;
        item.content = content;
        item.analysisText = u"{\"content\":\""_s + content + u"\",\"location\":\"\"}"_s;
        item.thumbnail = "jpeg";
        item.proposedName = content;
        item.analysedWith = VideoItem::AnalysisStamp { key.engine, key.model, key.frameCount,
            key.promptVersion, 900, QDateTime::currentDateTimeUtc() };
    });
}

} // namespace

class TestCatalogueLink : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString path(const QString& name) const
    {
        return m_dir.filePath(name);
    }
    std::unique_ptr<AppModel> open(bool keepsList = true) const
    {
        return std::make_unique<AppModel>(path(u"none.json"_s),
            AppModel::Storage { MediaFixtures::fsPath(path(u"catalogue.sqlite"_s)), keepsList });
    }

private slots:
    void init()
    {
        QDir(m_dir.path()).removeRecursively();
        QVERIFY(QDir().mkpath(m_dir.path()));
    }

    void restoresTheList()
    {
        QStringList names { u"a.mp4"_s, u"b.mp4"_s, u"c.mp4"_s, u"d.mp4"_s };
        std::vector<fs::path> files;
        for (const QString& name : names) {
            QVERIFY(MediaFixtures::place(path(name), name.toUtf8().repeated(100)));
            files.push_back(MediaFixtures::fsPath(path(name)));
        }
        QList<VideoItem> before;
        {
            auto model = open();
            QVERIFY(importAndWait(*model, files));
            analyse(*model, 0, u"海边"_s);
            analyse(*model, 1, u"雪山"_s);
            model->mutateItem(model->items().at(1).id, [](VideoItem& item) {
                item.content = u"手写的内容"_s;
                item.contentByHand = item.nameByHand = item.hasTypedName = true;
                item.proposedName = u"手写的名字"_s;
                item.renameFailure = u"目标已存在"_s;
            });
            model->mutateItem(model->items().at(2).id, [](VideoItem& item) {
                item.status = VideoItem::Status::Error;
                item.analysisText = u"错误：超时"_s;
            });
            model->catalogue()->setSelection({ model->items().at(1).id });
            before = model->items();
            // On disk within a second, without waiting for the model to close (as after a kill).
            QTest::qWait(1000);
            const auto saved
                = Catalogue::Reader(MediaFixtures::fsPath(path(u"catalogue.sqlite"_s))).session();
            QCOMPARE(saved.size(), 4u);
            QCOMPARE(saved.at(1).editedName, std::optional(u"手写的名字"_s));
            QVERIFY(saved.at(1).isSelected);
        }
        QVERIFY(QFile::remove(path(u"d.mp4"_s)));

        auto model = open();
        QCOMPARE(model->statusMessage(), Messages::restored(4));
        QCOMPARE(model->catalogue()->selection(), QList<QUuid> { before.at(1).id });
        QTRY_COMPARE(model->items().at(3).status, VideoItem::Status::Error);
        QCOMPARE(model->items().at(3).analysisText, Messages::FileGone);
        for (qsizetype i = 0; i < 3; ++i) {
            const VideoItem& was = before.at(i);
            const VideoItem& is = model->items().at(i);
            QCOMPARE(is.id, was.id);
            QCOMPARE(is.url, was.url);
            QCOMPARE(is.status, was.status);
            QCOMPARE(is.content, was.content);
            QCOMPARE(is.analysisText, was.analysisText);
            QCOMPARE(is.proposedName, was.proposedName);
            QCOMPARE(is.thumbnail, was.thumbnail);
            QCOMPARE(is.creationDate, was.creationDate);
            QCOMPARE(is.contentByHand, was.contentByHand);
            QCOMPARE(is.nameByHand, was.nameByHand);
            QCOMPARE(is.hasTypedName, was.hasTypedName);
            QCOMPARE(is.renameFailure, was.renameFailure);
            QCOMPARE(bool(is.analysedWith), bool(was.analysedWith));
        }

        // Clearing forgets the list, never the analyses.
        model->clearItems();
        QVERIFY(model->catalogue()->flush(std::chrono::seconds(5)));
        QCOMPARE(model->catalogue()->usage().analyses, 2);
        model.reset();
        QVERIFY(open()->items().isEmpty());
    }

    // A stored analysis and what the user typed follow the file's content, not its name.
    void reusesByContent_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("reused");
        QTest::newRow("renamed") << u"mv"_s << true;
        QTest::newRow("moved to another folder") << u"mv-folder"_s << true;
        QTest::newRow("copied") << u"cp"_s << true;
        QTest::newRow("unchanged") << QString() << true;
        QTest::newRow("changed in place") << u"write"_s << false;
        QTest::newRow("same size, other end") << u"write-end"_s << false;
    }

    void reusesByContent()
    {
        QFETCH(QString, change);
        QFETCH(bool, reused);
        const QString original = path(u"clip.mp4"_s);
        QVERIFY(MediaFixtures::place(original, QByteArray(300'000, 'x')));
        {
            auto model = open();
            QVERIFY(importAndWait(*model, { MediaFixtures::fsPath(original) }));
            analyse(*model, 0, u"海边"_s);
            model->mutateItem(model->items().at(0).id, [](VideoItem& item) {
                item.location = u"手写的地点"_s;
                item.locationByHand = item.nameByHand = item.hasTypedName = true;
                item.proposedName = u"手写的名字"_s;
            });
            QVERIFY(model->catalogue()->flush(std::chrono::seconds(5)));
        }
        QString now = original;
        if (change == u"mv"_s || change == u"cp"_s) {
            now = path(u"renamed.mp4"_s);
            QVERIFY(change == u"mv"_s ? QFile::rename(original, now) : QFile::copy(original, now));
        } else if (change == u"mv-folder"_s) {
            now = path(u"other/clip.mp4"_s);
            QVERIFY(QDir().mkpath(path(u"other"_s)) && QFile::rename(original, now));
        } else if (change.startsWith(u"write"_s)) {
            QFile file(original);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.seek(change == u"write"_s ? 0 : file.size() - 1) && file.write("y") == 1);
        }
        auto model = open(false);
        QVERIFY(importAndWait(*model, { MediaFixtures::fsPath(now) }));
        const VideoItem& item = model->items().at(0);
        QCOMPARE(item.status, reused ? VideoItem::Status::Analyzed : VideoItem::Status::Pending);
        QCOMPARE(item.content, reused ? u"海边"_s : QString());
        QCOMPARE(item.thumbnail.isEmpty(), !reused);
        QCOMPARE(item.location == u"手写的地点"_s && item.locationByHand, reused);
        QCOMPARE(item.proposedName == u"手写的名字"_s && item.nameByHand, reused);

        // Other settings do not reuse the analysis; the edits come back all the same.
        model->clearItems();
        model->settings().frameCount += 1;
        QVERIFY(importAndWait(*model, { MediaFixtures::fsPath(now) }));
        QCOMPARE(model->items().at(0).status, VideoItem::Status::Pending);
        QCOMPARE(model->items().at(0).nameByHand, reused);
    }

    // Killed at a random moment of a burst of edits (of files not analysed yet): after a restart every
    // edit made at least a second before the kill is there, in the list and, once the list is cleared
    // and the files are added again, with the files.
    void keepsEditsThroughKill_data()
    {
        QTest::addColumn<int>("killAfterMs"); // after the first edit
        for (int run = 0; run < 3; ++run)
            QTest::addRow("random %d", run) << int(QRandomGenerator::global()->bounded(1100, 2600));
    }

    void keepsEditsThroughKill()
    {
        QFETCH(int, killAfterMs);
        constexpr int Files = 60; // edited every 40 ms
        const QString folder = path(u"burst"_s);
        for (int i = 0; i < Files; ++i) {
            QVERIFY(MediaFixtures::place(folder + u"/%1.mp4"_s.arg(i, 2, 10, QChar(u'0')),
                u"片段 %1 "_s.arg(i).toUtf8().repeated(50 + i)));
        }
        QProcess child;
        child.start(
            QStringLiteral(EDIT_BURST_CHILD), { path(u"none.json"_s), path(u"catalogue.sqlite"_s), folder });
        QVERIFY(child.waitForStarted());
        QHash<int, qint64> editedAt; // by file number
        qint64 firstEdit = -1;
        const auto readEdits = [&] {
            while (child.canReadLine()) {
                const QList<QByteArray> fields = child.readLine().trimmed().split(' ');
                editedAt.insert(fields.value(1).toInt(), fields.value(0).toLongLong());
                firstEdit = firstEdit < 0 ? fields.value(0).toLongLong() : firstEdit;
            }
        };
        const QDeadlineTimer limit(60'000);
        while (child.state() == QProcess::Running && !limit.hasExpired()
            && (firstEdit < 0 || QDateTime::currentMSecsSinceEpoch() < firstEdit + killAfterMs)) {
            child.waitForReadyRead(20);
            readEdits();
        }
        QVERIFY(child.state() == QProcess::Running && firstEdit >= 0);
        const qint64 killedAt = QDateTime::currentMSecsSinceEpoch();
        ::kill(pid_t(child.processId()), SIGKILL);
        QVERIFY(child.waitForFinished(30000));
        readEdits();
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);

        const auto missing = [&](const AppModel& model) {
            QStringList lost;
            for (const VideoItem& item : model.items()) {
                const int i = std::stoi(item.url.stem());
                const bool shown = item.contentByHand && item.content == u"手写 %1"_s.arg(i);
                if (editedAt.value(i, killedAt) + 1000 <= killedAt && !shown)
                    lost << QString::number(i);
            }
            return lost.join(u' ');
        };
        auto model = open();
        QCOMPARE(model->items().size(), Files);
        QCOMPARE(missing(*model), QString());
        model->clearItems();
        QVERIFY(importAndWait(*model, { MediaFixtures::fsPath(folder) }));
        QCOMPARE(model->items().size(), Files);
        QCOMPARE(missing(*model), QString());
    }

    // A file the catalogue knows unchanged is not read for its date again, yet shows what a fresh read
    // shows: the date from its metadata, or the one its name now gives (here none: its time instead).
    void knownFileKeepsItsDate_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("renamed");
        QTest::addColumn<DateSource>("source");
        QTest::newRow("from the metadata") << u"clip.mp4"_s << QString() << DateSource::Metadata;
        QTest::newRow("from a name it lost")
            << u"VID_20191006_143012.mp4"_s << u"海边.mp4"_s << DateSource::FileModified;
    }

    void knownFileKeepsItsDate()
    {
        QFETCH(QString, name);
        QFETCH(QString, renamed);
        QFETCH(DateSource, source);
        const QString first = path(name);
        QVERIFY(source == DateSource::Metadata ? MediaFixtures::makeClip(
                    first, 0.2, { u"-metadata"_s, u"creation_time=2026-09-18T06:03:12Z"_s })
                                               : MediaFixtures::place(first, QByteArray(1000, 'x')));
        {
            auto model = open(false);
            QVERIFY(importAndWait(*model, { MediaFixtures::fsPath(first) }));
            analyse(*model, 0, u"海边"_s);
            QVERIFY(model->catalogue()->flush(std::chrono::seconds(5)));
        }
        const QString now = renamed.isEmpty() ? first : path(renamed);
        QVERIFY(now == first || QFile::rename(first, now));
        AppModel fresh(path(u"none.json"_s));
        QVERIFY(importAndWait(fresh, { MediaFixtures::fsPath(now) }));
        auto model = open(false);
        QVERIFY(importAndWait(*model, { MediaFixtures::fsPath(now) }));
        const VideoItem& known = model->items().at(0);
        QCOMPARE(known.status, VideoItem::Status::Analyzed);
        QCOMPARE(known.dateSource, source);
        QCOMPARE(fresh.items().at(0).dateSource, source);
        QVERIFY(known.creationDate && fresh.items().at(0).creationDate);
        QCOMPARE(*known.creationDate, *fresh.items().at(0).creationDate);
    }
};

QTEST_GUILESS_MAIN(TestCatalogueLink)
#include "TestCatalogueLink.moc"

// SPDX-License-Identifier: GPL-3.0-or-later
// What the writer queues comes back from a reader after the program ends, however it ends: closed,
// or killed in the middle of a run, with every committed item complete.

#include "SampleItems.h"
#include "catalogue/Database.h"
#include "catalogue/Reader.h"
#include "catalogue/Writer.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

class TestCatalogueWriter : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    fs::path m_database;

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        const char* tag = QTest::currentDataTag();
        m_database = fs::path(m_dir.path().toStdString())
            / (std::string(QTest::currentTestFunction()) + (tag ? tag : "")) / "catalogue.sqlite";
        fs::remove_all(m_database.parent_path());
        QVERIFY(Catalogue::prepare(m_database).isReady());
    }

    void readsBackWhatWasWritten()
    {
        constexpr int Items = 400;
        std::vector<Catalogue::FinishedItem> items;
        const Catalogue::BatchRecord undone { "/undo/2.json", QDateTime::fromSecsSinceEpoch(200), 5,
            QDateTime::fromSecsSinceEpoch(300) };
        const std::vector<Catalogue::BatchRecord> batches {
            { "/undo/\xc4\xe3-1.json", QDateTime::fromSecsSinceEpoch(100), 3, {} },
            { "/undo/2.json", QDateTime::fromSecsSinceEpoch(200), 5, {} },
        };
        {
            Catalogue::Writer writer(m_database);
            for (int i = 0; i < Items; ++i) {
                items.push_back(sampleItem(i));
                writer.saveFinished(items.back());
            }
            for (const Catalogue::BatchRecord& batch : batches)
                writer.saveBatch(batch);
            writer.saveBatch(undone);
        } // the destructor writes what is queued

        Catalogue::Reader reader(m_database);
        const std::vector<Catalogue::SessionEntry> session = reader.session();
        QCOMPARE(session.size(), std::size_t(Items));
        for (int i = 0; i < Items; ++i) {
            const Catalogue::FinishedItem& item = items[std::size_t(i)];
            QVERIFY(session[std::size_t(i)] == item.entry);
            QVERIFY(reader.file(item.file.identity) == item.file);
            QVERIFY(reader.analysis(item.file.identity, item.analysis.key) == item.analysis);
            QCOMPARE(reader.thumbnail(item.file.identity), item.thumbnail);
            const Catalogue::SessionEntry& entry = item.entry;
            const Catalogue::HandEdits edits { entry.editedContent, entry.editedPlace, entry.editedName };
            QVERIFY(reader.edits(item.file.identity)
                == (edits == Catalogue::HandEdits() ? std::nullopt : std::optional(edits)));
        }
        // Newest first; marking a batch undone replaces it.
        QVERIFY(reader.batches() == std::vector<Catalogue::BatchRecord>({ undone, batches[0] }));
    }

    // A stored analysis serves only the same settings; a new one with other settings keeps the first.
    // Clearing the list or forgetting a file each takes away only its own part: the list keeps no
    // edits from the file, forgetting takes them.
    void reuseAndForget()
    {
        const Catalogue::FinishedItem first = sampleItem(1);
        Catalogue::FinishedItem second = sampleItem(1);
        second.analysis.key.model = u"other"_s;
        second.analysis.content = u"另一个模型"_s;
        second.analysis.analyzedAt = first.analysis.analyzedAt.addSecs(60);
        const Catalogue::FinishedItem unrelated = sampleItem(2);

        Catalogue::Writer writer(m_database);
        Catalogue::Reader reader(m_database);
        writer.saveFinished(first);
        writer.saveFinished(second);
        writer.saveFinished(unrelated);
        QVERIFY(writer.flush(10s));
        QCOMPARE(reader.analysis(first.file.identity, first.analysis.key)->content, first.analysis.content);
        QCOMPARE(reader.latestAnalysis(first.file.identity)->content, u"另一个模型"_s);
        QCOMPARE(reader.usage().analyses, qint64(3));

        writer.clearSession();
        QVERIFY(writer.flush(10s));
        QCOMPARE(reader.session().size(), std::size_t(0));
        QCOMPARE(reader.usage().analyses, qint64(3));
        QCOMPARE(reader.edits(first.file.identity)->name, first.entry.editedName);

        writer.saveEntries({ first.entry, unrelated.entry });
        writer.forget({ first.file.identity });
        QVERIFY(writer.flush(10s));
        QVERIFY(!reader.file(first.file.identity));
        QVERIFY(!reader.latestAnalysis(first.file.identity));
        QVERIFY(reader.thumbnail(first.file.identity).isEmpty());
        QVERIFY(!reader.edits(first.file.identity));
        QVERIFY(reader.latestAnalysis(unrelated.file.identity));
        const std::vector<Catalogue::SessionEntry> session = reader.session();
        QCOMPARE(session.size(), std::size_t(2));
        QVERIFY(!session[0].identity); // the entry stays, without its link
        QVERIFY(session[1].identity == unrelated.file.identity);

        writer.forget({});
        QVERIFY(writer.flush(10s));
        QCOMPARE(reader.usage().analyses, qint64(0));
    }

    // The window and the command line write the same catalogue at once; neither loses a write.
    void twoWritersAtOnce()
    {
        Catalogue::Writer window(m_database);
        Catalogue::Writer cli(m_database);
        for (int i = 0; i < 300; ++i)
            (i % 2 ? window : cli).saveFinished(sampleItem(i));
        QVERIFY(window.close(30s));
        QVERIFY(cli.close(30s));
        QCOMPARE(window.committedCount() + cli.committedCount(), quint64(300));
        QCOMPARE(Catalogue::Reader(m_database).usage().analyses, qint64(300));
    }

    void failureIsReported()
    {
        Catalogue::Writer writer(m_database);
        QSignalSpy failures(&writer, &Catalogue::Writer::failed);
        fs::remove(m_database);
        fs::create_directory(m_database); // the file is gone and cannot come back
        writer.saveFinished(sampleItem(1));
        writer.saveFinished(sampleItem(2));
        QVERIFY(writer.flush(10s));
        QTRY_COMPARE(failures.size(), 1);
        QCOMPARE(writer.committedCount(), quint64(0));
    }

    void killed_data()
    {
        QTest::addColumn<int>("killAfter"); // committed transactions; 0: at a random count

        QTest::newRow("after the first") << 1;
        QTest::newRow("after 100") << 100;
        for (int run = 0; run < 4; ++run)
            QTest::addRow("random %d", run) << 0;
    }

    void killed()
    {
        QFETCH(int, killAfter);
        constexpr int Items = 400;
        if (killAfter == 0)
            killAfter = int(QRandomGenerator::global()->bounded(1, Items - 1));

        QProcess child;
        child.start(QStringLiteral(CATALOGUE_WRITER_CHILD),
            { QString::fromStdString(m_database.native()), QString::number(Items) });
        QVERIFY(child.waitForStarted());
        int committed = 0;
        while (committed < killAfter && child.state() == QProcess::Running) {
            if (!child.canReadLine() && !child.waitForReadyRead(30000))
                break;
            while (child.canReadLine())
                committed = child.readLine().trimmed().toInt();
        }
        child.kill();
        QVERIFY(child.waitForFinished(30000));
        QVERIFY2(committed >= killAfter, qPrintable(QString::number(committed)));

        // Nothing to repair, everything committed is there, and each item is whole or absent.
        const Catalogue::Opening opening = Catalogue::prepare(m_database);
        QVERIFY(opening.isReady() && opening.movedAside.empty());
        Catalogue::Reader reader(m_database);
        const std::vector<Catalogue::SessionEntry> session = reader.session();
        QVERIFY(session.size() >= std::size_t(committed));
        QCOMPARE(reader.usage().analyses, qint64(session.size()));
        for (std::size_t i = 0; i < session.size(); ++i) {
            const Catalogue::FinishedItem item = sampleItem(int(i));
            QVERIFY(session[i] == item.entry);
            QCOMPARE(reader.thumbnail(item.file.identity), item.thumbnail);
        }
    }
};

QTEST_GUILESS_MAIN(TestCatalogueWriter)
#include "TestCatalogueWriter.moc"

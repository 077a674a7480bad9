// SPDX-License-Identifier: GPL-3.0-or-later
// velmora-cli undo as a script uses it: which log it replays, what it prints, its exit status.

#include "catalogue/Database.h"
#include "catalogue/Writer.h"
#include "naming/FileMoves.h"
#include "naming/RenameRecord.h"
#include "naming/Renamer.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QString err;
};

void writeFile(const fs::path& path, const QByteArray& content)
{
    QFile file(QFile::decodeName(QByteArray::fromStdString(path.native())));
    QVERIFY(file.open(QIODevice::NewOnly));
    file.write(content);
}

} // namespace

class TestUndoCommand : public QObject
{
    Q_OBJECT

private:
    std::optional<QTemporaryDir> m_root;
    fs::path m_folder;

    QProcessEnvironment environment() const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"XDG_CONFIG_HOME"_s, m_root->filePath(u"config"_s));
        environment.insert(u"XDG_STATE_HOME"_s, m_root->filePath(u"state"_s));
        environment.insert(u"XDG_DATA_HOME"_s, m_root->filePath(u"data"_s));
        return environment;
    }

    Run cli(const QStringList& arguments)
    {
        QProcess process;
        process.setProcessEnvironment(environment());
        process.start(QStringLiteral(VELMORA_CLI), arguments);
        Run run;
        if (!process.waitForFinished(60000))
            return run;
        run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        run.out = process.readAllStandardOutput();
        run.err = QString::fromUtf8(process.readAllStandardError());
        return run;
    }

    // Renames each file to "renamed-<name>" in one batch; returns the log.
    fs::path rename(const QStringList& names)
    {
        QList<VideoItem> items;
        for (const QString& name : names) {
            VideoItem item;
            item.url = m_folder / name.toStdString();
            writeFile(item.url, name.toUtf8());
            item.status = VideoItem::Status::Analyzed;
            item.proposedName = u"renamed-"_s + name;
            items.append(item);
        }
        return Renamer::rename(items).value_or(fs::path());
    }

    // The rows Python's csv module reads from these bytes.
    QJsonArray readCsv(const QByteArray& bytes)
    {
#ifndef PYTHON3
        QSKIP("python3 reads the CSV back");
#else
        const QString path = m_root->filePath(u"record.csv"_s);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return {};
        file.close();
        QProcess python;
        python.start(QStringLiteral(PYTHON3), { QStringLiteral(CSV_READER), path });
        python.waitForFinished(60000);
        return QJsonDocument::fromJson(python.readAllStandardOutput()).array();
#endif
    }

private slots:
    void init()
    {
        m_root.emplace();
        QVERIFY(m_root->isValid());
        m_folder = QFile::encodeName(m_root->filePath(u"media"_s)).toStdString();
        QVERIFY(fs::create_directory(m_folder));
        qputenv("XDG_STATE_HOME", QFile::encodeName(m_root->filePath(u"state"_s)));
    }

    void lastLog()
    {
        const fs::path older = rename({ u"a"_s });
        const fs::path newer = rename({ u"b"_s, u"c"_s });
        QVERIFY(!older.empty() && !newer.empty());

        const Run run = cli({ u"undo"_s, u"--last"_s, u"--json"_s });
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(QJsonDocument::fromJson(run.out).object(),
            (QJsonObject { { u"schemaVersion"_s, 1 }, { u"status"_s, u"已撤销 2 个文件的重命名"_s },
                { u"restored"_s, 2 }, { u"failed"_s, QJsonArray() }, { u"undoLog"_s, QJsonValue() } }));
        QVERIFY(fs::exists(m_folder / "b") && fs::exists(m_folder / "c"));
        QVERIFY(!fs::exists(newer));
        QVERIFY(fs::exists(older));

        // Without --json: the status on standard error, each file back in place on standard output.
        const Run second = cli({ u"undo"_s });
        QCOMPARE(second.exitCode, 0);
        QCOMPARE(second.out, QByteArray::fromStdString((m_folder / "a").native()) + '\n');
        QVERIFY(second.err.contains(u"已撤销 1 个文件的重命名"_s));
    }

    void namedLog_data()
    {
        QTest::addColumn<QByteArray>("content"); // empty: the log is a real one, with one file gone since
        QTest::addColumn<int>("exitCode");
        QTest::newRow("a file gone since") << QByteArray() << 1;
        QTest::newRow("malformed") << "{\"/x/new\": 3}"_ba << 2;
        QTest::newRow("not JSON") << "undo"_ba << 2;
    }

    // A private log that was replayed is removed; any other is kept.
    void namedLog()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, exitCode);
        fs::path log = rename({ u"a"_s, u"b"_s });
        if (content.isEmpty()) {
            QVERIFY(fs::remove(m_folder / "renamed-a"));
        } else {
            log = m_folder.parent_path() / "edited.json";
            writeFile(log, content);
        }
        const Run run = cli({ u"undo"_s, QFile::decodeName(QByteArray::fromStdString(log.native())) });
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(fs::exists(log), !content.isEmpty());
        QCOMPARE(fs::exists(m_folder / "b"), content.isEmpty());
    }

    // A log the user names is never removed; a file whose old name is taken again is named with the
    // reason, and a later undo --last finishes the batch.
    void partialUndo()
    {
        const fs::path log = rename({ u"a"_s, u"b"_s });
        const fs::path named = m_folder.parent_path() / "copy.json";
        QVERIFY(fs::copy_file(log, named) && fs::remove(log));
        writeFile(m_folder / "a", "taken again");

        Run run = cli({ u"undo"_s, QFile::decodeName(QByteArray::fromStdString(named.native())) });
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(
            run.err.contains(QFile::decodeName(QByteArray::fromStdString((m_folder / "renamed-a").native()))
                + u"：原来的名称已被其他文件占用"_s),
            qPrintable(run.err));
        QVERIFY(fs::exists(named) && fs::exists(m_folder / "b"));

        QVERIFY(fs::remove(m_folder / "a"));
        run = cli({ u"undo"_s, u"--last"_s });
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, QByteArray::fromStdString((m_folder / "a").native()) + '\n');
        QVERIFY(fs::exists(named) && fs::is_empty(Renamer::undoDirectory()));
    }

    void interruptedBatch()
    {
        for (int i = 0; i < 20; ++i)
            writeFile(m_folder / ("clip" + std::to_string(i) + ".mov"), QByteArray::number(i));
        // Killed right after its tenth move: a journal and no log.
        QProcess child;
        child.setProcessEnvironment(environment());
        child.start(QStringLiteral(RENAMER_CRASH_CHILD),
            { QFile::decodeName(QByteArray::fromStdString(m_folder.native())),
                QString::number(int(FileMoves::Step::AfterMove)), u"10"_s, u"0"_s });
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);

        const Run run = cli({ u"undo"_s, u"--last"_s, u"--json"_s });
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(QJsonDocument::fromJson(run.out).object().value(u"restored"_s).toInt(), 10);
        for (int i = 0; i < 20; ++i)
            QVERIFY(fs::exists(m_folder / ("clip" + std::to_string(i) + ".mov")));
        QVERIFY(fs::is_empty(Renamer::undoDirectory()));
    }

    // The batches newest first, and one batch as CSV, through a real CSV reader: names with commas,
    // quotes, line feeds and bytes that are not UTF-8; what the catalogue knows of a file and its sidecar.
    void recordOfBatches()
    {
        const fs::path older = rename({ u"a"_s });
        const QList<QByteArray> names { "逗号,和\"引号\".mp4", "换\n行.mp4", "\xb2\xe2\xca\xd4.mp4" };
        QList<VideoItem> items;
        for (const QByteArray& name : names) {
            VideoItem item;
            item.url = m_folder / name.toStdString();
            std::ofstream(item.url) << name.toStdString(); // by its bytes
            item.status = VideoItem::Status::Analyzed;
            item.proposedName = u"茶楼"_s;
            items.append(item);
        }
        writeFile(m_folder / "逗号,和\"引号\".xmp", "<x/>");
        const fs::path newer = Renamer::rename(items).value_or(fs::path());
        QVERIFY(!newer.empty() && newer != older);
        QCOMPARE(items[0].sidecars.size(), std::size_t(1));
        items[0].content = u"喝茶, \"聊天\"\n两行"_s;
        items[0].location = u"=成都"_s; // typed over the model's guess
        items[0].creationDate = QDateTime(QDate(2026, 9, 18), QTime(6, 3, 12), Qt::UTC);
        items[0].companions = items[0].sidecars;
        const fs::path database
            = QFile::encodeName(m_root->filePath(u"data/velmora/catalogue.sqlite"_s)).toStdString();
        QVERIFY(Catalogue::prepare(database).isReady());
        {
            Catalogue::Writer writer(database);
            Catalogue::FinishedItem known;
            known.file = { Catalogue::identityOf(items[0].url).value(), {}, items[0].url, MediaKind::Video,
                items[0].creationDate, u"metadata"_s, std::nullopt, std::nullopt };
            known.analysis = { { u"ollama"_s, u"m"_s, 4, 1 }, QString(), items[0].content, u"成都"_s, 0,
                QDateTime::currentDateTimeUtc() };
            known.entry.id = QUuid::createUuid();
            known.entry.path = items[0].url;
            known.entry.editedPlace = items[0].location;
            writer.saveFinished(known);
            QVERIFY(writer.close(10s));
        }

        const QJsonArray batches = QJsonDocument::fromJson(cli({ u"undo"_s, u"--list"_s, u"--json"_s }).out)
                                       .object()[u"batches"_s]
                                       .toArray();
        QCOMPARE(batches.size(), 2);
        QCOMPARE(batches[0][u"files"_s].toInt(), 4); // the sidecar too
        QCOMPARE(batches[0][u"log"_s].toString(), displayPath(newer));
        QCOMPARE(batches[1][u"log"_s].toString(), displayPath(older));

        const Run run = cli({ u"export-csv"_s });
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.out.startsWith(
            "\xEF\xBB\xBF原路径,新路径,拍摄时间,内容,地点,批次时间,原路径字节,新路径字节\r\n"));
        QCOMPARE(run.out, RenameRecord::csvOf(newer, { items[0] }).value());
        const QJsonArray rows = readCsv(run.out);
        QCOMPARE(rows.size(), 5);
        const QString batch = RenameRecord::batchTime(newer).toString(u"yyyy-MM-dd HH:mm:ss"_s);
        for (qsizetype i = 0; i < names.size(); ++i) {
            const QJsonArray row = rows[3 - i].toArray(); // a header, then by the bytes of the old path
            const fs::path original = m_folder / names[i].toStdString();
            QCOMPARE(row.size(), 8);
            QCOMPARE(row[0].toString(), displayPath(original));
            QCOMPARE(row[1].toString(), displayPath(items[i].url));
            QCOMPARE(row[5].toString(), batch);
            QCOMPARE(QByteArray::fromPercentEncoding(row[6].toString().toLatin1()),
                i == 2 ? QByteArray::fromStdString(original.native()) : QByteArray());
        }
        QCOMPARE(rows[3][2].toString(), u"2026-09-18 06:03:12"_s);
        QCOMPARE(rows[3][3].toString(), items[0].content);
        QCOMPARE(rows[3][4].toString(), u"'=成都"_s); // never a formula
        QCOMPARE(rows[4][1].toString(), displayPath(items[0].sidecars[0]));
        QCOMPARE(rows[4][3].toString(), items[0].content);
    }

    void nothingToUndo()
    {
        const Run run = cli({ u"undo"_s, u"--json"_s });
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(QJsonDocument::fromJson(run.out).object(),
            (QJsonObject { { u"schemaVersion"_s, 1 }, { u"status"_s, u"没有可撤销的操作"_s },
                { u"restored"_s, 0 }, { u"failed"_s, QJsonArray() }, { u"undoLog"_s, QJsonValue() } }));
        QCOMPARE(cli({ u"undo"_s, u"a.json"_s, u"b.json"_s }).exitCode, 2);
        QCOMPARE(cli({ u"undo"_s, u"a.json"_s, u"--last"_s }).exitCode, 2);
    }
};

QTEST_GUILESS_MAIN(TestUndoCommand)
#include "TestUndoCommand.moc"

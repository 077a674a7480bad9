// SPDX-License-Identifier: GPL-3.0-or-later
// Opening the catalogue: every older schema is brought up to date with its data, and a file that is not
// a usable database is moved aside or, when a newer version wrote it, left untouched.

#include "catalogue/Database.h"
#include "catalogue/Messages.h"
#include "catalogue/Reader.h"
#include "catalogue/Schema.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;
namespace fs = std::filesystem;

namespace {

constexpr int NoFile = -1;

Sqlite::Connection rawConnection(const fs::path& file)
{
    return Sqlite::Connection::open(
        QByteArray::fromStdString(file.native()), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, 1000);
}

// The schema as SQLite keeps it, to compare a migrated database with a fresh one.
QStringList schemaOf(const fs::path& file)
{
    Sqlite::Connection db = rawConnection(file);
    Sqlite::Statement query = db.prepare("SELECT type, name, sql FROM sqlite_master ORDER BY name");
    QStringList schema;
    while (query.step() == SQLITE_ROW)
        schema << query.text(0) + u' ' + query.text(1) + u' ' + query.text(2);
    return schema;
}

QByteArray contentOf(const fs::path& file)
{
    QFile in(QString::fromStdString(file.native()));
    return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
}

int modeOf(const fs::path& path)
{
    struct stat info
    { };
    return ::stat(path.c_str(), &info) == 0 ? int(info.st_mode & 0777) : -1;
}

} // namespace

class TestCatalogueDatabase : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    fs::path m_file;

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        const fs::path base = m_dir.path().toStdString();
        fs::remove_all(base / "data");
        m_file = base / "data" / "velmora" / "catalogue.sqlite";
    }

    // One row per schema version the database may have been left at, with data written in that
    // version's shape and a query that must still find it.
    void migrates_data()
    {
        QTest::addColumn<int>("from");
        QTest::addColumn<QByteArray>("setup");
        QTest::addColumn<QByteArray>("check");
        QTest::addColumn<qint64>("expected");

        QTest::newRow("no file") << NoFile << QByteArray() << QByteArray("SELECT count(*) FROM files") << 0LL;
        QTest::newRow("empty v0") << 0 << QByteArray() << QByteArray("SELECT count(*) FROM session") << 0LL;
        QTest::newRow("v1 with data")
            << 1
            << QByteArray(
                   "INSERT INTO files (id, size, hash, path, kind, seen_at) VALUES (7, 10, x'01', x'2f61', "
                   "'video', 0);"
                   "INSERT INTO analyses (file_id, engine, model, frame_count, prompt_version, raw_reply, "
                   "content, place_guess, duration_ms, analyzed_at) VALUES (7, 'ollama', 'm', 6, 1, '{}', "
                   "'海边', '', 5, 0);")
            << QByteArray(
                   "SELECT count(*) FROM analyses JOIN files ON files.id = file_id WHERE content = '海边'")
            << 1LL;
        QTest::newRow("v1 list entry")
            << 1
            << QByteArray(
                   "INSERT INTO session (id, position, path, kind, status, proposed_name, error_text, "
                   "companions, is_selected) VALUES ('e', 0, x'2f61', 'video', 'analyzed', 'n', '', x'', 1);")
            << QByteArray("SELECT count(*) FROM session WHERE details = x'' AND proposed_name = 'n'") << 1LL;
        QTest::newRow("v2 edits in the list")
            << 2
            << QByteArray(
                   "INSERT INTO files (id, size, hash, path, kind, seen_at) VALUES (7, 10, x'01', x'2f61', "
                   "'video', 0);"
                   "INSERT INTO session (id, position, file_id, path, kind, status, proposed_name, "
                   "edited_name, error_text, companions, is_selected) VALUES ('e', 0, 7, x'2f61', 'video', "
                   "'analyzed', 'n', '手写', '', x'', 1), ('f', 1, NULL, x'2f62', 'video', 'pending', '', "
                   "'无文件', '', x'', 0);")
            << QByteArray(
                   "SELECT count(*) FROM edits WHERE file_id = 7 AND name = '手写' AND content IS NULL")
            << 1LL;
    }

    void migrates()
    {
        QFETCH(int, from);
        QFETCH(QByteArray, setup);
        QFETCH(QByteArray, check);
        QFETCH(qint64, expected);

        const fs::path fresh = fs::path(m_dir.path().toStdString()) / "fresh.sqlite";
        fs::remove(fresh);
        QVERIFY(Catalogue::prepare(fresh).isReady());

        if (from != NoFile) {
            fs::create_directories(m_file.parent_path());
            Sqlite::Connection db = rawConnection(m_file);
            QVERIFY(Catalogue::Schema::migrate(db, from));
            QVERIFY2(db.exec(setup.constData()), qPrintable(db.errorText()));
        }
        const Catalogue::Opening opening = Catalogue::prepare(m_file);
        QVERIFY(opening.isReady());
        QVERIFY(opening.message.isEmpty());
        QCOMPARE(schemaOf(m_file), schemaOf(fresh));
        Sqlite::Connection db = rawConnection(m_file);
        QCOMPARE(
            db.queryInt("PRAGMA user_version"), std::optional<qint64>(Catalogue::Schema::currentVersion()));
        QCOMPARE(db.queryInt(check.constData()), std::optional<qint64>(expected));
        QCOMPARE(modeOf(m_file.parent_path()), 0700);
        QCOMPARE(modeOf(m_file), 0600);
        // SQLite makes its side files with the database's mode.
        Catalogue::Reader reader(m_file);
        QVERIFY(reader.isOpen());
        QCOMPARE(modeOf(m_file.native() + "-wal"), 0600);
        QCOMPARE(modeOf(m_file.native() + "-shm"), 0600);
    }

    void movesUnreadableAside_data()
    {
        QTest::addColumn<QByteArray>("damage"); // what replaces the file, or how it is cut

        QTest::newRow("not SQLite") << QByteArray("text, not a database\n").repeated(300);
        QTest::newRow("header overwritten") << QByteArray("head");
        QTest::newRow("truncated") << QByteArray("cut");
    }

    void movesUnreadableAside()
    {
        QFETCH(QByteArray, damage);

        QVERIFY(Catalogue::prepare(m_file).isReady());
        {
            Sqlite::Connection db = rawConnection(m_file);
            QVERIFY(db.exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000) "
                            "INSERT INTO files (size, hash, path, kind, seen_at) "
                            "SELECT i, randomblob(16), randomblob(100), 'photo', 0 FROM n"));
        } // the last connection closed folds the log back into the file
        QFile file(QString::fromStdString(m_file.native()));
        if (damage == "cut") {
            QVERIFY(file.resize(file.size() / 3));
        } else {
            QVERIFY(file.open(QIODevice::ReadWrite));
            if (damage == "head")
                QVERIFY(file.write(QByteArray(16, '\x7f')) == 16);
            else
                QVERIFY(file.resize(0) && file.write(damage) == damage.size());
            file.close();
        }
        const QByteArray damaged = contentOf(m_file);

        const Catalogue::Opening opening = Catalogue::prepare(m_file);
        QVERIFY(opening.isReady());
        QCOMPARE(opening.message,
            Catalogue::Messages::movedAside(QString::fromStdString(opening.movedAside.filename().native())));
        QVERIFY(opening.movedAside.filename().native().starts_with("catalogue.sqlite.corrupt-"));
        QCOMPARE(contentOf(opening.movedAside), damaged);
        Catalogue::Reader reader(m_file);
        QVERIFY(reader.isOpen());
        QVERIFY(reader.session().empty());
        QCOMPARE(reader.usage().analyses, qint64(0));

        // Damaged again the same second: the first copy is kept, the second gets a name of its own.
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write("junk junk junk") > 0);
        file.close();
        const Catalogue::Opening again = Catalogue::prepare(m_file);
        QVERIFY(again.isReady());
        QVERIFY(again.movedAside != opening.movedAside);
        QCOMPARE(contentOf(opening.movedAside), damaged);
    }

    // Stands in for a read-only disk, which root (as the tests may run) does not meet.
    void disabledWhenItCannotWrite()
    {
        QFile blocker(QString::fromStdString(m_file.parent_path().parent_path().native()));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        const Catalogue::Opening opening = Catalogue::prepare(m_file);
        QVERIFY(!opening.isReady());
        QCOMPARE(opening.message, Catalogue::Messages::NotSaved);
    }

    void leavesNewerVersionAlone()
    {
        fs::create_directories(m_file.parent_path());
        {
            Sqlite::Connection db = rawConnection(m_file);
            const QByteArray newer
                = "PRAGMA user_version = " + QByteArray::number(Catalogue::Schema::currentVersion() + 1);
            QVERIFY(db.exec("CREATE TABLE later (x BLOB); INSERT INTO later VALUES (x'0102')"));
            QVERIFY(db.exec(newer.constData()));
        }
        const QByteArray before = contentOf(m_file);

        const Catalogue::Opening opening = Catalogue::prepare(m_file);
        QVERIFY(!opening.isReady());
        QCOMPARE(opening.message, Catalogue::Messages::NewerVersion);
        QVERIFY(opening.movedAside.empty());
        QCOMPARE(contentOf(m_file), before);
        QVERIFY(!fs::exists(m_file.native() + "-wal"));
    }
};

QTEST_GUILESS_MAIN(TestCatalogueDatabase)
#include "TestCatalogueDatabase.moc"

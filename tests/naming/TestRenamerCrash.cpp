// SPDX-License-Identifier: GPL-3.0-or-later
// A batch killed with SIGKILL at any point must lose no file, and an undo afterwards must bring every
// file back to its old name. The batch runs in a child process (renamer_crash_child) that is killed
// either at an exact step of the renamer or after a random delay.

#include "RawFiles.h"
#include "naming/FileMoves.h"
#include "naming/Renamer.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <map>
#include <set>

using namespace Qt::StringLiterals;
namespace fs = std::filesystem;
using Step = FileMoves::Step;

namespace {

constexpr int NoStep = -1;
constexpr int BeforeSidecarMove = 100;

// name → content of every file in dir.
std::map<std::string, QByteArray> snapshot(const fs::path& dir)
{
    std::map<std::string, QByteArray> out;
    for (const auto& entry : fs::directory_iterator(dir))
        out[entry.path().filename().native()] = readFile(entry.path());
    return out;
}

} // namespace

class TestRenamerCrash : public QObject
{
    Q_OBJECT

    int m_interrupted = 0;
    int m_movedAtKill = 0;
    qint64 m_batchMicroseconds = 0;

private slots:
    void initTestCase()
    {
        QVERIFY(QFile::exists(QStringLiteral(RENAMER_CRASH_CHILD)));
    }

    void killed_data()
    {
        QTest::addColumn<int>("files");
        QTest::addColumn<int>("step"); // NoStep: killed after a random delay instead
        QTest::addColumn<int>("hit");
        QTest::addColumn<bool>("hardLinks");

        constexpr int Files = 300;
        const struct
        {
            const char* name;
            int step;
            QList<int> hits;
            QList<bool> hardLinks;
        } cases[] = {
            { "before move", int(Step::BeforeMove), { 1, Files / 2, Files }, { false, true } },
            { "after move", int(Step::AfterMove), { 1, Files / 2, Files }, { false, true } },
            { "between link and unlink", int(Step::AfterLink), { 1, Files / 2, Files }, { true } },
            { "between a file and its sidecar", BeforeSidecarMove, { 1, Files / 8 }, { false, true } },
            { "log written, journal not yet removed", int(Step::LogWritten), { 1 }, { false } },
        };
        for (const auto& c : cases) {
            for (const int hit : c.hits) {
                for (const bool hardLinks : c.hardLinks)
                    QTest::addRow("%s %d%s", c.name, hit, hardLinks ? ", hard links" : "")
                        << Files << c.step << hit << hardLinks;
            }
        }
        for (int run = 0; run < 25; ++run)
            QTest::addRow("random kill %d", run) << 2000 << NoStep << 0 << (run % 4 == 3);
    }

    void killed()
    {
        QFETCH(int, files);
        QFETCH(int, step);
        QFETCH(int, hit);
        QFETCH(bool, hardLinks);

        QTemporaryDir root;
        QVERIFY(root.isValid());
        const fs::path base = QFile::encodeName(root.path()).toStdString();
        const fs::path folder = base / "media";
        const fs::path state = base / "state";
        QVERIFY(fs::create_directory(folder));
        // Some names are GBK bytes, not UTF-8; some files have sidecars named after their stem or their
        // whole name.
        for (int i = 0; i < files; ++i) {
            const std::string stem
                = (i % 50 == 7 ? std::string("\xc4\xe3") : std::string("clip")) + std::to_string(10000 + i);
            const std::string name = stem + (i % 11 == 0 ? "" : ".mov");
            writeFile(folder / name, "file " + QByteArray::number(i));
            if (i % 4 == 1)
                writeFile(folder / (stem + ".xmp"), "xmp " + QByteArray::number(i));
            if (i % 9 == 2)
                writeFile(folder / (name + ".THM"), "thm " + QByteArray::number(i));
        }
        const auto before = snapshot(folder);

        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"XDG_STATE_HOME"_s, QFile::decodeName(QByteArray::fromStdString(state.native())));
        child.setProcessEnvironment(environment);
        child.start(QStringLiteral(RENAMER_CRASH_CHILD),
            { QFile::decodeName(QByteArray::fromStdString(folder.native())), QString::number(step),
                QString::number(hit), hardLinks ? u"1"_s : u"0"_s });
        QVERIFY(child.waitForStarted());
        if (step == NoStep) {
            QVERIFY(child.waitForReadyRead(60000));
            // The first random run goes through, to learn how long a batch lasts on this machine; the
            // others are killed anywhere within that span.
            if (m_batchMicroseconds == 0) {
                QElapsedTimer timer;
                timer.start();
                QVERIFY(child.waitForFinished(120000));
                m_batchMicroseconds = qMax<qint64>(1000, timer.nsecsElapsed() / 1000);
            } else {
                QThread::usleep(QRandomGenerator::global()->bounded(quint64(m_batchMicroseconds)));
                child.kill();
            }
        }
        QVERIFY(child.state() == QProcess::NotRunning || child.waitForFinished(120000));
        const bool interrupted = child.exitStatus() == QProcess::CrashExit;
        if (step != NoStep)
            QVERIFY2(interrupted, child.readAllStandardOutput().constData());
        if (step == BeforeSidecarMove)
            QVERIFY(snapshot(folder) != before); // the file moved, its sidecar not yet

        // Right after the kill: each file under its old name or a new one (both, for a moment, with hard
        // links), and nothing lost.
        std::map<QByteArray, std::set<std::string>> namesOf;
        for (const auto& [name, content] : snapshot(folder))
            namesOf[content].insert(name);
        QCOMPARE(namesOf.size(), before.size());
        int moved = 0;
        for (const auto& [name, content] : before) {
            const std::set<std::string>& names = namesOf[content];
            QVERIFY(names.size() == 1 || (hardLinks && names.size() == 2 && names.count(name)));
            moved += names.count(name) ? 0 : 1;
        }
        if (interrupted) {
            ++m_interrupted;
            m_movedAtKill += moved;
            qInfo("killed with %d of %d files moved", moved, int(before.size()));
        }

        // Every move that happened can be undone: recover the journal, then replay each log.
        const QByteArray savedState = qgetenv("XDG_STATE_HOME");
        qputenv("XDG_STATE_HOME", QByteArray::fromStdString(state.native()));
        Renamer::recoverInterrupted();
        int restored = 0;
        for (const fs::path& log : UndoLog::logsNewestFirst(Renamer::undoDirectory())) {
            const Renamer::UndoResult result = Renamer::undo(log);
            QCOMPARE(result.outcome, Renamer::UndoResult::Outcome::Replayed);
            restored += result.restored;
        }
        qputenv("XDG_STATE_HOME", savedState);
        QVERIFY(restored >= moved);
        QVERIFY(snapshot(folder) == before);
        // A batch killed before it made its folder leaves none.
        if (fs::exists(state / "velmora" / "undo"))
            for (const auto& entry : fs::directory_iterator(state / "velmora" / "undo")) {
                const std::string name = entry.path().filename().native();
                QVERIFY2(name.rfind(".partial-", 0) == 0, name.c_str());
            }
        std::error_code error;
        fs::remove_all(base, error);
    }

    void cleanupTestCase()
    {
        qInfo("%d runs killed inside the batch; %d files had moved at the kill, all restored", m_interrupted,
            m_movedAtKill);
    }
};

QTEST_GUILESS_MAIN(TestRenamerCrash)
#include "TestRenamerCrash.moc"

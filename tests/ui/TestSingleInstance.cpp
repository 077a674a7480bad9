// SPDX-License-Identifier: GPL-3.0-or-later
// A second start hands its files to the window that holds the name on a private session bus.

#include "ui/main/SingleInstance.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using Paths = std::vector<std::filesystem::path>;

class TestSingleInstance : public QObject
{
    Q_OBJECT

private:
    QProcess m_daemon;
    QString m_address;

private slots:
    void initTestCase()
    {
        m_daemon.start(u"dbus-daemon"_s, { u"--session"_s, u"--nofork"_s, u"--print-address=1"_s });
        QVERIFY(m_daemon.waitForReadyRead(10'000));
        m_address = QString::fromUtf8(m_daemon.readLine().trimmed());
        QVERIFY(!m_address.isEmpty());
    }

    void cleanupTestCase()
    {
        m_daemon.kill();
        m_daemon.waitForFinished();
    }

    void secondStartForwards()
    {
        SingleInstance first(QDBusConnection::connectToBus(m_address, u"first"_s));
        QCOMPARE(first.start({}, {}, {}), SingleInstance::Role::Primary);
        QSignalSpy opened(&first, &SingleInstance::openRequested);

        // The real program: a relative name becomes absolute in its own folder, and a name that is
        // not UTF-8 (given as a file URL) arrives byte for byte.
        QTemporaryDir folder;
        QProcess second;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, m_address);
        environment.insert(u"DESKTOP_STARTUP_ID"_s, u"launcher-1_TIME42"_s);
        second.setProcessEnvironment(environment);
        second.setWorkingDirectory(folder.path());
        second.start(qEnvironmentVariable("VELMORA_APP"), { u"clip.mp4"_s, u"file:///tmp/%FF.mp4"_s });
        QVERIFY(opened.wait(10'000));
        QVERIFY(second.waitForFinished(10'000));
        QCOMPARE(second.exitCode(), 0);
        const Paths expected { std::filesystem::path(QFile::encodeName(folder.path()).toStdString())
                / "clip.mp4",
            "/tmp/\xff.mp4" };
        QCOMPARE(opened.at(0).at(0).value<Paths>(), expected);
        QCOMPARE(opened.at(0).at(1).toByteArray(), "launcher-1_TIME42");

        // Without a bus a window stands alone.
        SingleInstance none(QDBusConnection::connectToBus(u"unix:path=/nonexistent"_s, u"none"_s));
        QCOMPARE(none.start({}, {}, {}), SingleInstance::Role::Alone);
    }
};

QTEST_MAIN(TestSingleInstance)
#include "TestSingleInstance.moc"

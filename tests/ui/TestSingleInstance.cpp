// SPDX-License-Identifier: GPL-3.0-or-later
// The window on a private session bus: a second start hands its files to the window that holds the
// name, and a click on the notification that a run ended raises the window.

#include "ui/main/SingleInstance.h"
#include "ui/widgets/DesktopNotifier.h"

#include <QDBusMessage>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include <csignal>
#include <sys/prctl.h>

using namespace Qt::StringLiterals;
using Paths = std::vector<std::filesystem::path>;

// A notification service that keeps what it was asked to show.
class FakeNotifications : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    QString summary;
    QString icon;
    QStringList actions;

public slots:
    uint Notify(const QString&,
        uint,
        const QString& appIcon,
        const QString& text,
        const QString&,
        const QStringList& actionList,
        const QVariantMap&,
        int)
    {
        summary = text;
        icon = appIcon;
        actions = actionList;
        return 7;
    }
};

class TestSingleInstance : public QObject
{
    Q_OBJECT

private:
    QProcess m_daemon;
    QString m_address;

private slots:
    void initTestCase()
    {
        // Ends with this test even when it crashes: the daemon must not outlive it holding its descriptors.
        m_daemon.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
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

    void notificationClickRaisesWindow()
    {
        QGuiApplication::setDesktopFileName(u"org.ondrel.Velmora"_s);
        QWidget window;
        window.showMinimized();
        DesktopNotifier notifier(&window, QDBusConnection::connectToBus(m_address, u"window"_s));

        // No service yet: the call neither waits nor shows anything.
        QElapsedTimer timer;
        timer.start();
        notifier.notify(u"分析完成"_s);
        QVERIFY(timer.elapsed() < 100);

        QDBusConnection service = QDBusConnection::connectToBus(m_address, u"service"_s);
        FakeNotifications fake;
        QVERIFY(service.registerObject(
            u"/org/freedesktop/Notifications"_s, &fake, QDBusConnection::ExportAllSlots));
        QVERIFY(service.registerService(u"org.freedesktop.Notifications"_s));
        notifier.notify(u"分析完成：3 个成功"_s);
        QTRY_COMPARE(fake.summary, u"分析完成：3 个成功"_s);
        QCOMPARE(fake.icon, u"org.ondrel.Velmora"_s);
        QVERIFY(fake.actions.indexOf(u"default"_s) % 2 == 0); // a key, then its label

        auto send = [&](const QString& name, uint id, const QString& text) {
            QDBusMessage signal = QDBusMessage::createSignal(
                u"/org/freedesktop/Notifications"_s, u"org.freedesktop.Notifications"_s, name);
            signal << id << text;
            QVERIFY(service.send(signal));
        };
        send(u"ActionInvoked"_s, 8, u"default"_s); // another program's notification
        QTest::qWait(200);
        QVERIFY(window.isMinimized());
        send(u"ActivationToken"_s, 7, u"token-1"_s);
        send(u"ActionInvoked"_s, 7, u"default"_s);
        QTRY_VERIFY(!window.isMinimized() && window.isActiveWindow());
        QCOMPARE(qgetenv("XDG_ACTIVATION_TOKEN"), "token-1"); // what Wayland activates with
        qunsetenv("XDG_ACTIVATION_TOKEN");
        QDBusConnection::disconnectFromBus(u"service"_s);
        QDBusConnection::disconnectFromBus(u"window"_s);
    }
};

QTEST_MAIN(TestSingleInstance)
#include "TestSingleInstance.moc"

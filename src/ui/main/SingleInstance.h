// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QObject>

#include <filesystem>
#include <vector>

class QWidget;

// One window per session: the first window takes the name org.ondrel.Velmora on the session bus and
// answers org.freedesktop.Application's Activate and Open there; a later start hands its files to that
// window and ends. Lives on the main thread, owned by the program's main().
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    static constexpr const char* ServiceName = "org.ondrel.Velmora";
    static constexpr const char* ObjectPath = "/org/ondrel/Velmora";

    enum class Role
    {
        Primary, // this process holds the name: show the window
        Forwarded, // the window that holds it took the files: end now
        Alone, // no session bus, or its window did not answer: show a window of our own
    };

    explicit SingleInstance(QDBusConnection bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);

    // Claims the name, or hands paths to the process that holds it with what the launcher gave this
    // start for raising a window (the X11 startup id and the Wayland activation token, as read from the
    // environment before the application object took them). Blocks for at most a few seconds.
    Role start(const std::vector<std::filesystem::path>& paths,
        const QByteArray& startupId,
        const QByteArray& activationToken);

    // Brings window to the front for a start that the launcher tracks with these ids.
    static void raise(QWidget& window, const QByteArray& startupId, const QByteArray& activationToken);

signals:
    // Another start of the program asked for this window, with files to add (possibly none).
    void openRequested(const std::vector<std::filesystem::path>& paths,
        const QByteArray& startupId,
        const QByteArray& activationToken);

private:
    friend class ApplicationAdaptor;
    QDBusConnection m_bus;
};

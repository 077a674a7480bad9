// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDBusConnection>
#include <QObject>

class QWidget;

// Desktop notifications through the freedesktop notification service on the session bus. Clicking one
// raises the window. Without a bus or a service, nothing shows and nothing fails. Main thread.
class DesktopNotifier : public QObject
{
    Q_OBJECT

public:
    explicit DesktopNotifier(QWidget* window, const QDBusConnection& bus = QDBusConnection::sessionBus());

    void notify(const QString& summary);

private slots:
    void activationToken(uint id, const QString& token);
    void actionInvoked(uint id, const QString& action);

private:
    QWidget* m_window;
    QDBusConnection m_bus;
    uint m_lastId = 0;
    QByteArray m_token; // for the last notification's click, when the service gave one
};

// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/widgets/DesktopNotifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QGuiApplication>
#include <QVariantMap>
#include <QWidget>

using namespace Qt::StringLiterals;

namespace {

const QString Service = u"org.freedesktop.Notifications"_s;
const QString Path = u"/org/freedesktop/Notifications"_s;

} // namespace

DesktopNotifier::DesktopNotifier(QWidget* window)
    : QObject(window)
    , m_window(window)
{
    QDBusConnection::sessionBus().connect(
        Service, Path, Service, u"ActionInvoked"_s, this, SLOT(actionInvoked(uint, QString)));
}

void DesktopNotifier::notify(const QString& summary)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Service, u"Notify"_s);
    const QString desktopId = QGuiApplication::desktopFileName();
    const QVariantMap hints { { u"desktop-entry"_s, desktopId } };
    // app_name, replaces_id, app_icon, summary, body, actions (key, label …), hints, expire_timeout
    call << u"Velmora"_s << m_lastId << desktopId << summary << QString()
         << QStringList { u"default"_s, u"打开"_s } << hints << qint32(-1);
    // Asked without waiting: a service that is not there, or only starts on demand, never holds the window.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        const QDBusPendingReply<uint> reply = *watcher;
        if (!reply.isError())
            m_lastId = reply.value();
        watcher->deleteLater();
    });
}

void DesktopNotifier::actionInvoked(uint id, const QString& action)
{
    if (id != m_lastId || action != u"default")
        return;
    // Out of the task bar as it was before, maximised or not.
    m_window->setWindowState(m_window->windowState() & ~Qt::WindowMinimized);
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

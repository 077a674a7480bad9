// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/widgets/DesktopNotifier.h"

#include "ui/main/SingleInstance.h"

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

DesktopNotifier::DesktopNotifier(QWidget* window, const QDBusConnection& bus)
    : QObject(window)
    , m_window(window)
    , m_bus(bus)
{
    // Services since version 1.2 of the protocol send a token before the action: without it a Wayland
    // compositor, or an X11 window manager preventing focus stealing, leaves the window behind.
    m_bus.connect(Service, Path, Service, u"ActivationToken"_s, this, SLOT(activationToken(uint, QString)));
    m_bus.connect(Service, Path, Service, u"ActionInvoked"_s, this, SLOT(actionInvoked(uint, QString)));
}

void DesktopNotifier::notify(const QString& summary)
{
    if (!m_bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Service, u"Notify"_s);
    const QString desktopId = QGuiApplication::desktopFileName();
    const QVariantMap hints { { u"desktop-entry"_s, desktopId } };
    // app_name, replaces_id, app_icon, summary, body, actions (key, label …), hints, expire_timeout
    call << u"Velmora"_s << m_lastId << desktopId << summary << QString()
         << QStringList { u"default"_s, u"打开"_s } << hints << qint32(-1);
    // Asked without waiting: a service that is not there, or only starts on demand, never holds the window.
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, 5000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        const QDBusPendingReply<uint> reply = *watcher;
        if (!reply.isError())
            m_lastId = reply.value();
        watcher->deleteLater();
    });
}

void DesktopNotifier::activationToken(uint id, const QString& token)
{
    if (id == m_lastId)
        m_token = token.toUtf8();
}

void DesktopNotifier::actionInvoked(uint id, const QString& action)
{
    if (id != m_lastId || action != u"default")
        return;
    // On X11 the token is a startup id, on Wayland an activation token; each platform reads its own.
    SingleInstance::raise(*m_window, m_token, m_token);
    m_token.clear();
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/main/SingleInstance.h"

#include "ui/widgets/DragPayload.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QGuiApplication>
#include <QUrl>
#include <QVariantMap>
#include <QWidget>
#include <QWindow>

#ifdef APP_HAVE_XCB
#include <xcb/xcb.h>
#endif

#include <cstring>

using namespace Qt::StringLiterals;

namespace {

constexpr const char* ApplicationInterface = "org.freedesktop.Application";
constexpr int ForwardTimeoutMs = 5000;

QString fileUri(const std::filesystem::path& path)
{
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    if (ec)
        absolute = path;
    // Percent-encoded bytes: a name that is not UTF-8 crosses the bus exactly.
    return QString::fromLatin1(
        "file://" + QByteArray::fromStdString(absolute.native()).toPercentEncoding("/"));
}

#ifdef APP_HAVE_XCB

xcb_atom_t atom(xcb_connection_t* connection, const char* name)
{
    const xcb_intern_atom_cookie_t cookie = xcb_intern_atom(connection, 0, uint16_t(std::strlen(name)), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    const xcb_atom_t result = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return result;
}

// The launcher's startup notification ends, and the window is activated with the time of the click
// that started us, so that the window manager's focus-stealing prevention lets it come forward.
void finishX11Startup(QWidget& window, const QByteArray& startupId)
{
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    // The offscreen platform has the interface too, without a connection unless it draws with GLX.
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection || startupId.isEmpty())
        return;
    const xcb_window_t id = xcb_window_t(window.winId());
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    if (!screen)
        return;

    // "remove: ID=…" with spaces, quotes and backslashes escaped, in 20-byte client messages.
    QByteArray message = "remove: ID=";
    for (const char c : startupId) {
        if (c == ' ' || c == '"' || c == '\\')
            message += '\\';
        message += c;
    }
    message += '\0';
    const xcb_atom_t begin = atom(connection, "_NET_STARTUP_INFO_BEGIN");
    const xcb_atom_t more = atom(connection, "_NET_STARTUP_INFO");
    for (qsizetype sent = 0; sent < message.size(); sent += 20) {
        xcb_client_message_event_t event {};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 8;
        event.window = screen->root;
        event.type = sent == 0 ? begin : more;
        std::memcpy(event.data.data8, message.constData() + sent,
            size_t(std::min<qsizetype>(20, message.size() - sent)));
        xcb_send_event(connection, 0, screen->root, XCB_EVENT_MASK_PROPERTY_CHANGE,
            reinterpret_cast<const char*>(&event));
    }

    const qsizetype at = startupId.indexOf("_TIME");
    const uint32_t time = at < 0 ? 0 : startupId.mid(at + 5).toUInt();
    if (time != 0) {
        const xcb_atom_t userTime = atom(connection, "_NET_WM_USER_TIME");
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, userTime, XCB_ATOM_CARDINAL, 32, 1, &time);
        xcb_client_message_event_t event {};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = id;
        event.type = atom(connection, "_NET_ACTIVE_WINDOW");
        event.data.data32[0] = 1; // from an application
        event.data.data32[1] = time;
        xcb_send_event(connection, 0, screen->root,
            XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
            reinterpret_cast<const char*>(&event));
    }
    xcb_flush(connection);
}

#endif

} // namespace

// The object at ObjectPath; Qt derives its introspection from the slots.
class ApplicationAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

public:
    explicit ApplicationAdaptor(SingleInstance* owner)
        : QDBusAbstractAdaptor(owner)
        , m_owner(owner)
    { }

public slots:
    void Activate(const QVariantMap& platformData)
    {
        Open({}, platformData);
    }

    void Open(const QStringList& uris, const QVariantMap& platformData)
    {
        std::vector<std::filesystem::path> paths;
        for (const QString& uri : uris) {
            if (auto path = DragPayload::localPath(QUrl::fromEncoded(uri.toLatin1())))
                paths.push_back(std::move(*path));
        }
        emit m_owner->openRequested(paths, platformData.value(u"desktop-startup-id"_s).toByteArray(),
            platformData.value(u"activation-token"_s).toByteArray());
    }

    void ActivateAction(const QString&, const QVariantList&, const QVariantMap& platformData)
    {
        Open({}, platformData);
    }

private:
    SingleInstance* m_owner;
};

SingleInstance::SingleInstance(QDBusConnection bus, QObject* parent)
    : QObject(parent)
    , m_bus(std::move(bus))
{ }

SingleInstance::Role SingleInstance::start(const std::vector<std::filesystem::path>& paths,
    const QByteArray& startupId,
    const QByteArray& activationToken)
{
    if (!m_bus.isConnected() || !m_bus.interface())
        return Role::Alone;
    // The object first, then the name: whoever sees the name can call at once.
    new ApplicationAdaptor(this);
    if (!m_bus.registerObject(QString::fromLatin1(ObjectPath), this))
        return Role::Alone;
    const auto claimed = m_bus.interface()->registerService(QString::fromLatin1(ServiceName),
        QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
    if (claimed.isValid() && claimed.value() == QDBusConnectionInterface::ServiceRegistered)
        return Role::Primary;
    m_bus.unregisterObject(QString::fromLatin1(ObjectPath));

    QVariantMap platformData;
    if (!startupId.isEmpty())
        platformData.insert(u"desktop-startup-id"_s, startupId);
    if (!activationToken.isEmpty())
        platformData.insert(u"activation-token"_s, activationToken);
    QDBusMessage call
        = QDBusMessage::createMethodCall(QString::fromLatin1(ServiceName), QString::fromLatin1(ObjectPath),
            QString::fromLatin1(ApplicationInterface), paths.empty() ? u"Activate"_s : u"Open"_s);
    if (paths.empty()) {
        call << platformData;
    } else {
        QStringList uris;
        for (const auto& path : paths)
            uris << fileUri(path);
        call << uris << platformData;
    }
    const QDBusMessage reply = m_bus.call(call, QDBus::Block, ForwardTimeoutMs);
    return reply.type() == QDBusMessage::ReplyMessage ? Role::Forwarded : Role::Alone;
}

void SingleInstance::raise(QWidget& window, const QByteArray& startupId, const QByteArray& activationToken)
{
    // Qt's Wayland integration activates with the token it finds here.
    if (!activationToken.isEmpty())
        qputenv("XDG_ACTIVATION_TOKEN", activationToken);
    if (window.isMinimized())
        window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
    window.show();
    window.raise();
    window.activateWindow();
#ifdef APP_HAVE_XCB
    finishX11Startup(window, startupId);
#else
    Q_UNUSED(startupId);
#endif
}

#include "SingleInstance.moc"

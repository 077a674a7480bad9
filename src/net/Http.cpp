// SPDX-License-Identifier: GPL-3.0-or-later
#include "net/Http.h"

#include "net/Messages.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QSysInfo>
#include <QThread>
#include <QTimer>

#include <cmath>
#include <optional>

using namespace Qt::StringLiterals;

Q_LOGGING_CATEGORY(lcNet, "velmora.net", QtWarningMsg)

namespace {

// Qt reads its read buffer from the socket no faster than we drain it; this keeps a fast server from
// piling up data between two readyRead signals.
constexpr qint64 ReadBufferBytes = 256 * 1024;
constexpr int MaxRedirects = 5;

bool isLoopbackHost(const QString& host)
{
    if (host.compare(u"localhost"_s, Qt::CaseInsensitive) == 0
        || host.endsWith(u".localhost"_s, Qt::CaseInsensitive))
        return true;
    QHostAddress address;
    return address.setAddress(host) && address.isLoopback();
}

// The environment's proxies (http_proxy, https_proxy, no_proxy), except for the local model server:
// a proxy cannot reach this machine's loopback address.
class EnvironmentProxyFactory : public QNetworkProxyFactory
{
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query) override
    {
        if (isLoopbackHost(query.peerHostName()))
            return { QNetworkProxy(QNetworkProxy::NoProxy) };
        return systemProxyForQuery(query);
    }
};

// Statuses Qt reports as errors although a complete HTTP response arrived. Qt also reports a body it
// could not decompress as UnknownContentError, which it otherwise gives only to 4xx statuses.
bool isHttpLevelError(QNetworkReply::NetworkError error, int status)
{
    const int code = int(error);
    if (error == QNetworkReply::UnknownContentError)
        return status >= 400;
    return (code >= 201 && code <= 299) || error == QNetworkReply::ProtocolInvalidOperationError
        || (code >= 401 && code <= 499);
}

bool isSameOrigin(const QUrl& a, const QUrl& b)
{
    const int defaultPort = a.scheme() == u"https" ? 443 : 80;
    return a.scheme() == b.scheme() && a.host().compare(b.host(), Qt::CaseInsensitive) == 0
        && a.port(defaultPort) == b.port(defaultPort);
}

// One request in flight. Owned by the manager, deleted once it has ended; the context object only
// decides whether the callbacks may still run.
class Call : public QObject
{
public:
    Call(QObject* context, const Net::Options& options, Net::Done done, Net::LineHandler onLine)
        : QObject(Net::manager(options.lane))
        , m_context(context)
        , m_options(options)
        , m_done(std::move(done))
        , m_onLine(std::move(onLine))
    {
        // The callbacks may hold pointers into the context: once it goes, they must never run. They are
        // freed with this object, not here, because this can happen while one of them is running.
        connect(context, &QObject::destroyed, this, [this] {
            m_dropped = true;
            end(Net::Reply::Outcome::Aborted, Net::Messages::Aborted);
        });
    }

    void attach(QNetworkReply* reply)
    {
        m_reply = reply;
        reply->setParent(this);
        reply->setReadBufferSize(ReadBufferBytes);
        m_url = reply->url();
        if (!m_options.crossOriginRedirects) {
            connect(reply, &QNetworkReply::redirected, this, [this](const QUrl& target) {
                const QUrl next = m_url.resolved(target);
                if (!isSameOrigin(m_url, next))
                    end(Net::Reply::Outcome::TransportError, Net::Messages::redirectedElsewhere(m_url, next));
                else if (++m_redirects > MaxRedirects)
                    end(Net::Reply::Outcome::TransportError,
                        Net::Messages::transportError(QNetworkReply::TooManyRedirectsError, m_url, {}, {}));
                else
                    QTimer::singleShot(0, m_reply, [reply = m_reply] { emit reply->redirectAllowed(); });
            });
        }
        const int deadline = m_options.deadlineSeconds > 0 ? m_options.deadlineSeconds
                                                           : 4 * qMax(1, m_options.idleTimeoutSeconds);
        QTimer::singleShot(std::chrono::seconds(deadline), this,
            [this, deadline] { end(Net::Reply::Outcome::TimedOut, Net::Messages::pastDeadline(deadline)); });
        connect(reply, &QNetworkReply::metaDataChanged, this, &Call::onMetaData);
        connect(reply, &QNetworkReply::readyRead, this, &Call::onReadyRead);
        connect(reply, &QNetworkReply::finished, this, &Call::onFinished);
    }

    void abortByCaller()
    {
        end(Net::Reply::Outcome::Aborted, Net::Messages::Aborted);
    }

    bool hasEnded() const
    {
        return m_ended;
    }

    void whenSent(QObject* context, std::function<void()> sent)
    {
        auto once = std::make_shared<std::function<void()>>(std::move(sent));
        auto fire = [once] {
            if (*once)
                std::exchange(*once, nullptr)();
        };
        if (!m_reply || m_ended) {
            QMetaObject::invokeMethod(context, fire, Qt::QueuedConnection);
            return;
        }
        connect(m_reply, &QNetworkReply::uploadProgress, context, [fire](qint64 done, qint64 total) {
            if (total >= 0 && done >= total)
                fire();
        });
        connect(m_reply, &QNetworkReply::finished, context, fire);
        connect(m_reply, &QObject::destroyed, context, fire);
    }

private:
    int status() const
    {
        const QVariant value = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        return value.isValid() ? value.toInt() : 0;
    }

    bool streamsLines() const
    {
        const int code = status();
        return m_onLine && code >= 200 && code <= 299;
    }

    // Ends the transfer early with this outcome; finished() follows at once and reports it.
    void end(Net::Reply::Outcome outcome, const QString& text)
    {
        if (m_forced || m_ended)
            return;
        m_forced = outcome;
        m_forcedText = text;
        if (m_reply)
            m_reply->abort();
    }

    void onMetaData()
    {
        // A declared length over the cap need not be downloaded to be refused; streams have no total.
        const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
        if (!streamsLines() && length.isValid() && length.toLongLong() > m_options.maxBodyBytes)
            end(Net::Reply::Outcome::TooLarge, Net::Messages::tooLarge(m_options.maxBodyBytes));
    }

    void onReadyRead()
    {
        if (m_forced || m_ended)
            return;
        m_buffer += m_reply->readAll();
        if (!streamsLines()) {
            if (m_buffer.size() > m_options.maxBodyBytes)
                end(Net::Reply::Outcome::TooLarge, Net::Messages::tooLarge(m_options.maxBodyBytes));
            return;
        }
        qsizetype start = 0;
        for (qsizetype newline; (newline = m_buffer.indexOf('\n', start)) >= 0; start = newline + 1) {
            if (!deliverLine(m_buffer.mid(start, newline - start)))
                return;
        }
        m_buffer.remove(0, start);
        if (m_buffer.size() > m_options.maxBodyBytes)
            end(Net::Reply::Outcome::TooLarge, Net::Messages::tooLarge(m_options.maxBodyBytes));
    }

    // False when reading has to stop: the handler asked for it, or it ended the call itself.
    bool deliverLine(QByteArray line)
    {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            return true;
        if (!m_onLine(line)) {
            end(Net::Reply::Outcome::Finished, {});
            return false;
        }
        return !m_forced && !m_ended;
    }

    void onFinished()
    {
        if (m_ended)
            return;
        // A last chunk can arrive together with finished(); a last line may lack its line break.
        const QNetworkReply::NetworkError error = m_reply->error();
        if (!m_forced && (error == QNetworkReply::NoError || isHttpLevelError(error, status()))) {
            onReadyRead();
            if (!m_forced && streamsLines() && !m_buffer.isEmpty())
                deliverLine(std::exchange(m_buffer, {}));
        }
        m_ended = true;

        Net::Reply reply;
        reply.status = status();
        reply.contentType = m_reply->rawHeader("Content-Type");
        // Servers send rate-limit resets with every success too; they only mean "wait" with an error.
        if (reply.status >= 400) {
            reply.retryAfterMs = Net::retryDelayMs(m_reply->rawHeader("Retry-After"),
                m_reply->rawHeader("x-ratelimit-reset-requests"),
                m_reply->rawHeader("x-ratelimit-reset-tokens"), QDateTime::currentDateTimeUtc());
        }
        if (m_forced) {
            reply.outcome = *m_forced;
            reply.errorText = m_forcedText;
        } else if (error == QNetworkReply::NoError && m_redirects > 0
            && (reply.status < 200 || (reply.status >= 300 && reply.status <= 399))) {
            // Qt ends a chain of redirects it gives up on as if its last head were the answer.
            reply.outcome = Net::Reply::Outcome::TransportError;
            reply.status = 0;
            reply.errorText
                = Net::Messages::transportError(QNetworkReply::TooManyRedirectsError, m_url, {}, {});
            reply.networkError = QNetworkReply::TooManyRedirectsError;
        } else if (error == QNetworkReply::NoError
            || (reply.status > 0 && isHttpLevelError(error, reply.status))) {
            reply.outcome = Net::Reply::Outcome::Finished;
            if (!streamsLines())
                reply.body = std::exchange(m_buffer, {});
        } else if (error == QNetworkReply::OperationCanceledError || error == QNetworkReply::TimeoutError) {
            // Nobody here aborted it, so Qt's transfer timer did.
            reply.outcome = Net::Reply::Outcome::TimedOut;
            reply.errorText = Net::Messages::timedOut(m_options.idleTimeoutSeconds);
            reply.networkError = error;
        } else {
            reply.outcome = Net::Reply::Outcome::TransportError;
            reply.errorText
                = Net::Messages::transportError(error, m_url, m_options.serviceName, m_reply->errorString());
            reply.networkError = error;
        }
        qCDebug(lcNet) << m_reply->url().toDisplayString() << "ended:" << int(reply.outcome) << reply.status
                       << reply.errorText;

        if (!m_dropped && m_context) {
            // Queued on the context: never inside the caller's own call, and dropped with the context.
            QMetaObject::invokeMethod(
                m_context, [done = m_done, reply] { done(reply); }, Qt::QueuedConnection);
        }
        m_reply->disconnect(this);
        deleteLater();
    }

    QPointer<QObject> m_context;
    QPointer<QNetworkReply> m_reply;
    QUrl m_url;
    int m_redirects = 0;
    Net::Options m_options;
    Net::Done m_done;
    Net::LineHandler m_onLine;
    QByteArray m_buffer;
    std::optional<Net::Reply::Outcome> m_forced;
    QString m_forcedText;
    bool m_ended = false;
    bool m_dropped = false;
};

void prepare(QNetworkRequest& request, const Net::Options& options)
{
    if (!request.hasRawHeader("User-Agent"))
        request.setHeader(QNetworkRequest::UserAgentHeader, Net::userAgent());
    request.setTransferTimeout(qMax(1, options.idleTimeoutSeconds) * 1000);
    // Same-origin redirects are allowed one by one as they come (Call::attach).
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
        options.crossOriginRedirects ? QNetworkRequest::NoLessSafeRedirectPolicy
                                     : QNetworkRequest::UserVerifiedRedirectPolicy);
    // Qt ends a chain it finds too long with the last 3xx as if it were the answer; the count of the
    // same-origin check (Call::attach) ends it first, as an error.
    request.setMaximumRedirectsAllowed(options.crossOriginRedirects ? MaxRedirects : MaxRedirects + 2);
    if (options.bypassCaches) {
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
        request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
        request.setRawHeader("Cache-Control", "no-cache");
        request.setRawHeader("Pragma", "no-cache");
    }
    if (request.url().scheme() == u"https") {
        QSslConfiguration tls = request.sslConfiguration();
        tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
        request.setSslConfiguration(tls);
    }
}

Net::Handle start(QNetworkRequest request,
    const QByteArray* body,
    const Net::Options& options,
    QObject* context,
    Net::LineHandler onLine,
    Net::Done done)
{
    Q_ASSERT(context);
    QNetworkAccessManager* manager = Net::manager(options.lane);
    Q_ASSERT(QThread::currentThread() == manager->thread());
    prepare(request, options);
    auto* call = new Call(context, options, std::move(done), std::move(onLine));
    call->attach(body ? manager->post(request, *body) : manager->get(request));
    return Net::Handle(call);
}

} // namespace

namespace Net {

Handle::Handle()
    : m_state(std::make_shared<State>())
{ }

Handle::Handle(QObject* call)
    : Handle()
{
    m_state->call = call;
}

void Handle::abort() const
{
    if (auto* call = static_cast<Call*>(m_state->call.data()))
        call->abortByCaller();
}

bool Handle::isRunning() const
{
    const auto* call = static_cast<const Call*>(m_state->call.data());
    return call && !call->hasEnded();
}

void Handle::whenSent(QObject* context, std::function<void()> sent) const
{
    if (auto* call = static_cast<Call*>(m_state->call.data())) {
        call->whenSent(context, std::move(sent));
        return;
    }
    QMetaObject::invokeMethod(context, std::move(sent), Qt::QueuedConnection);
}

void Handle::follow(const Handle& next) const
{
    m_state->call = next.m_state->call;
}

QNetworkAccessManager* manager(int lane)
{
    static QPointer<QNetworkAccessManager> s_managers[MaxLanes];
    QPointer<QNetworkAccessManager>& manager = s_managers[(lane % MaxLanes + MaxLanes) % MaxLanes];
    if (!manager) {
        Q_ASSERT(QCoreApplication::instance());
        manager = new QNetworkAccessManager(QCoreApplication::instance());
        manager->setProxyFactory(new EnvironmentProxyFactory);
        manager->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    }
    return manager;
}

namespace {

// A Go duration ("1h2m3.5s", "20ms", "6m0s") or a plain number of seconds, in milliseconds.
std::optional<double> durationMs(const QByteArray& raw)
{
    static const QRegularExpression whole(u"^(?:\\d+(?:\\.\\d+)?(?:h|m|s|ms|us|µs|ns))+$"_s);
    static const QRegularExpression part(u"(\\d+(?:\\.\\d+)?)(h|ms|m|s|us|µs|ns)"_s);
    const QString text = QString::fromUtf8(raw).trimmed();
    bool isNumber = false;
    const double seconds = text.toDouble(&isNumber);
    if (isNumber)
        return std::isfinite(seconds) ? std::optional(seconds * 1000.0) : std::nullopt;
    if (!whole.match(text).hasMatch())
        return std::nullopt;
    double total = 0;
    for (const QRegularExpressionMatch& match : part.globalMatch(text)) {
        const QString unit = match.captured(2);
        const double scale = unit == u"h" ? 3.6e6
            : unit == u"m"                ? 6e4
            : unit == u"s"                ? 1e3
            : unit == u"ms"               ? 1.0
            : unit == u"ns"               ? 1e-6
                                          : 1e-3;
        total += match.captured(1).toDouble() * scale;
    }
    return total;
}

// An HTTP date ("Wed, 21 Oct 2015 07:28:00 GMT"); Qt's RFC 2822 reader wants a numeric zone.
QDateTime httpDate(QByteArray text)
{
    if (text.endsWith(" GMT") || text.endsWith(" UTC"))
        text = text.chopped(4) + " +0000";
    return QDateTime::fromString(QString::fromLatin1(text), Qt::RFC2822Date);
}

std::optional<qint64> positiveMs(std::optional<double> ms)
{
    // Ten days: anything longer is as good as "never", and stays far from overflow.
    if (!ms || !(*ms >= 1.0))
        return std::nullopt;
    return qint64(std::min(*ms, 864e6));
}

} // namespace

std::optional<qint64> retryDelayMs(const QByteArray& retryAfter,
    const QByteArray& resetRequests,
    const QByteArray& resetTokens,
    const QDateTime& now)
{
    const QByteArray after = retryAfter.trimmed();
    bool isNumber = false;
    const double seconds = after.toDouble(&isNumber);
    std::optional<qint64> asked;
    if (isNumber) {
        asked = positiveMs(std::isfinite(seconds) ? std::optional(seconds * 1000.0) : std::nullopt);
    } else if (const QDateTime at = httpDate(after); at.isValid()) {
        asked = positiveMs(double(now.msecsTo(at)));
    }
    if (asked)
        return asked;
    const std::optional<qint64> requests = positiveMs(durationMs(resetRequests));
    const std::optional<qint64> tokens = positiveMs(durationMs(resetTokens));
    if (requests && tokens)
        return std::max(*requests, *tokens);
    return requests ? requests : tokens;
}

QString userAgent()
{
    return u"Velmora/"_s + QStringLiteral(APP_VERSION) + u" ("_s + QSysInfo::kernelType() + u"; Qt "_s
        + QString::fromLatin1(qVersion()) + u")"_s;
}

QUrl appendPath(const QUrl& base, const QString& path)
{
    QUrl url = base;
    QString basePath = url.path();
    while (basePath.endsWith(u'/'))
        basePath.chop(1);
    QString tail = path;
    while (tail.startsWith(u'/'))
        tail.remove(0, 1);
    url.setPath(basePath + u'/' + tail);
    return url;
}

QNetworkRequest jsonRequest(const QUrl& url)
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, u"application/json"_s);
    return request;
}

Handle get(QNetworkRequest request, const Options& options, QObject* context, Done done)
{
    return start(std::move(request), nullptr, options, context, {}, std::move(done));
}

Handle post(
    QNetworkRequest request, const QByteArray& body, const Options& options, QObject* context, Done done)
{
    return start(std::move(request), &body, options, context, {}, std::move(done));
}

Handle postLines(QNetworkRequest request,
    const QByteArray& body,
    const Options& options,
    QObject* context,
    LineHandler onLine,
    Done done)
{
    Q_ASSERT(onLine);
    return start(std::move(request), &body, options, context, std::move(onLine), std::move(done));
}

} // namespace Net

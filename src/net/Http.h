// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

class QNetworkAccessManager;

// The HTTP calls every client shares, over one QNetworkAccessManager on the main thread.
//
// Every call: an idle time-out (no byte for that long ends it) and a deadline for the whole request, a
// cap on what it keeps in memory, proxies from the environment (never for loopback hosts), TLS peer
// verification, the User-Agent of userAgent() unless the request sets its own, redirects followed only
// within the request's origin (or, where a caller allows it, when they are not less safe). Transport
// failures come with a Chinese text that names the address and says what to check.
// Results arrive on the main thread, never from inside the call that started the request, and only
// while the context object lives: destroying the context aborts the request and drops its callbacks,
// which is how a window or model that goes away cancels what it started.
namespace Net {

struct Options
{
    // Seconds without any received byte after which the request fails with TimedOut.
    int idleTimeoutSeconds = 30;
    // Seconds after which the request fails with TimedOut however steadily data arrives; 0 gives four
    // times the idle time-out, room for one full idle wait and a slow transfer after it.
    int deadlineSeconds = 0;
    // Most bytes a whole-body request keeps; for a line stream, the longest line. Beyond it: TooLarge.
    qint64 maxBodyBytes = 16 * 1024 * 1024;
    // Ignore every cache on the way and fetch afresh.
    bool bypassCaches = false;
    // Follow a redirect to another scheme, host or port too, when it is not less safe. Only for requests
    // that carry nothing private: a request's headers (an API key) and body go wherever it is redirected.
    bool crossOriginRedirects = false;
    // What the failure texts call the server ("Ollama"); empty: "服务".
    QString serviceName;
    // Which of the shared managers carries the request (see manager()): requests on different lanes
    // get connections of their own, past one manager's limit of six per host.
    int lane = 0;
};

struct Reply
{
    enum class Outcome
    {
        Finished, // a complete response arrived, whatever its HTTP status
        TransportError, // no response or a broken one: refused, reset, TLS, redirect loop or to another
                        // origin, truncated or undecodable body
        TimedOut, // idle for longer than Options::idleTimeoutSeconds, or past Options::deadlineSeconds
        TooLarge, // the body or one line went over Options::maxBodyBytes
        Aborted, // Handle::abort() was called
    };

    Outcome outcome = Outcome::TransportError;
    // The HTTP status once a response head arrived (also when the transfer broke afterwards), else 0.
    int status = 0;
    // The whole body of a whole-body request, or of a line stream whose status is not 2xx.
    QByteArray body;
    // The response's Content-Type header, as sent.
    QByteArray contentType;
    // For every outcome but Finished, the text to show: for transport errors, what failed and what to check.
    QString errorText;
    // Qt's code for a transport error; NoError otherwise.
    QNetworkReply::NetworkError networkError = QNetworkReply::NoError;
    // For an error status: how long the server asked to be left alone (see retryDelayMs()).
    std::optional<qint64> retryAfterMs;

    bool isFinished() const
    {
        return outcome == Outcome::Finished;
    }
    bool isSuccessStatus() const
    {
        return status >= 200 && status <= 299;
    }
};

// Stops a request early. Copies share one state, so a caller's copy keeps working when a client
// moves it on to the next request of a chain (a retry). Harmless once the request has ended.
class Handle
{
public:
    Handle();
    explicit Handle(QObject* call);

    // Ends the request; its Done callback then receives Outcome::Aborted (later, on the event loop).
    void abort() const;
    bool isRunning() const;
    // From now on this handle and all its copies control next instead.
    void follow(const Handle& next) const;
    // Calls sent once, on the main thread while context lives, when the request's body has been handed
    // to the network in full, or when the request ends before that. Lets a caller start other work
    // without slowing the upload down.
    void whenSent(QObject* context, std::function<void()> sent) const;

private:
    struct State
    {
        QPointer<QObject> call;
    };
    std::shared_ptr<State> m_state;
};

using Done = std::function<void(const Reply&)>;
// One line of a streamed body, without its line break (a trailing CR is dropped too); blank lines are
// skipped and a last line without a line break still counts. Return false to stop reading: the
// request then ends and Done receives Outcome::Finished.
using LineHandler = std::function<bool(const QByteArray& line)>;

// The manager of a lane (0..MaxLanes-1, others wrap): created on first use on the main thread, owned by
// the application. Each keeps its own connections alive between requests.
constexpr int MaxLanes = 8;
QNetworkAccessManager* manager(int lane = 0);

// How long a server asks a client to wait, in milliseconds: Retry-After (seconds or an HTTP date), else
// the longer of x-ratelimit-reset-requests and x-ratelimit-reset-tokens (Go durations such as "6m0s",
// "1.5s", "20ms", or plain seconds). Values that are missing, unreadable, zero, negative or in the
// past say nothing.
std::optional<qint64> retryDelayMs(const QByteArray& retryAfter,
    const QByteArray& resetRequests,
    const QByteArray& resetTokens,
    const QDateTime& now);

// "Velmora/<version> (<kernel>; Qt <version>)": who is asking, and with what.
QString userAgent();

// base with path appended as a path component: exactly one slash between them, so a path prefix in
// base (a reverse proxy's) stays and a trailing slash on base makes no difference.
QUrl appendPath(const QUrl& base, const QString& path);

// A request for url whose body, if any, is JSON ("Content-Type: application/json").
QNetworkRequest jsonRequest(const QUrl& url);

Handle get(QNetworkRequest request, const Options& options, QObject* context, Done done);
Handle post(
    QNetworkRequest request, const QByteArray& body, const Options& options, QObject* context, Done done);
// POST whose 2xx response body is newline-delimited: onLine gets each line as it arrives, however
// the network splits it; Done then gets an empty body. A non-2xx response is not split: Done gets
// it whole in Reply::body (capped like any body).
Handle postLines(QNetworkRequest request,
    const QByteArray& body,
    const Options& options,
    QObject* context,
    LineHandler onLine,
    Done done);

} // namespace Net

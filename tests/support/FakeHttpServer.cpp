// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/FakeHttpServer.h"

#include <QFile>
#include <QHostAddress>
#include <QJsonDocument>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {

// Keep this much queued on a socket while generating: enough to keep the client busy, little enough
// that an endless body costs the test no memory.
constexpr qint64 GenerateHighWater = 64 * 1024;

QByteArray reasonPhrase(int status)
{
    static const QHash<int, QByteArray> phrases { { 200, "OK" }, { 301, "Moved Permanently" },
        { 302, "Found" }, { 307, "Temporary Redirect" }, { 308, "Permanent Redirect" },
        { 400, "Bad Request" }, { 401, "Unauthorized" }, { 403, "Forbidden" }, { 404, "Not Found" },
        { 429, "Too Many Requests" }, { 500, "Internal Server Error" }, { 502, "Bad Gateway" },
        { 503, "Service Unavailable" } };
    return phrases.value(status, "Status");
}

QByteArray chunkFrame(const QByteArray& data)
{
    return QByteArray::number(data.size(), 16) + "\r\n" + data + "\r\n";
}

} // namespace

// What is still to be sent on a socket whose body comes from generate().
struct FakeHttpServer::Stream
{
    std::function<QByteArray(qint64)> generate;
    qint64 index = 0;
    bool chunked = true;
    Response::Ending ending = Response::Ending::Complete;
};

FakeHttpServer::Response FakeHttpServer::Response::json(int status, const QByteArray& body)
{
    return text(status, body, "application/json; charset=utf-8");
}

FakeHttpServer::Response FakeHttpServer::Response::text(
    int status, const QByteArray& body, const QByteArray& contentType)
{
    Response response;
    response.status = status;
    response.headers = { { "Content-Type", contentType } };
    response.body = body;
    return response;
}

FakeHttpServer::Response FakeHttpServer::Response::redirect(int status, const QByteArray& location)
{
    Response response = text(status, "<a href=\"" + location + "\">moved</a>", "text/html; charset=utf-8");
    response.headers.append({ "Location", location });
    return response;
}

FakeHttpServer::Response FakeHttpServer::Response::ndjson(const QByteArray& lines, int chunkSize, int delayMs)
{
    Response response;
    response.headers = { { "Content-Type", "application/x-ndjson" } };
    const qsizetype size = chunkSize > 0 ? chunkSize : qMax<qsizetype>(1, lines.size());
    for (qsizetype at = 0; at < lines.size(); at += size)
        response.chunks.append({ lines.mid(at, size), delayMs });
    if (lines.isEmpty())
        response.chunks.append({ QByteArray(), delayMs });
    return response;
}

QJsonObject FakeHttpServer::Request::json() const
{
    return QJsonDocument::fromJson(body).object();
}

FakeHttpServer::FakeHttpServer(QObject* parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &FakeHttpServer::onNewConnection);
    m_clock.start();
}

FakeHttpServer::~FakeHttpServer()
{
    qDeleteAll(m_streams);
}

bool FakeHttpServer::listen(const QHostAddress& address)
{
    return m_server.listen(address, 0);
}

quint16 FakeHttpServer::port() const
{
    return m_server.serverPort();
}

QUrl FakeHttpServer::url(const QString& path) const
{
    return QUrl(u"http://"_s + m_server.serverAddress().toString() + u':' + QString::number(port()) + path);
}

void FakeHttpServer::on(const QString& path, const Response& response)
{
    onSequence(path, { response });
}

void FakeHttpServer::onSequence(const QString& path, const QList<Response>& responses)
{
    m_handlers.remove(path);
    m_responses.insert(path, responses);
    m_served.insert(path, 0);
}

void FakeHttpServer::onRequest(const QString& path, std::function<Response(const Request&)> handler)
{
    m_responses.remove(path);
    m_handlers.insert(path, std::move(handler));
}

qsizetype FakeHttpServer::count(const QString& path) const
{
    return std::count_if(
        m_requests.begin(), m_requests.end(), [&](const Request& r) { return r.path == path; });
}

FakeHttpServer::Request FakeHttpServer::last(const QString& path) const
{
    for (auto it = m_requests.rbegin(); it != m_requests.rend(); ++it) {
        if (it->path == path)
            return *it;
    }
    return {};
}

QByteArray FakeHttpServer::sample(const QString& relativePath)
{
    QFile file(qEnvironmentVariable("VELMORA_TEST_SOURCE_DIR") + u"/tests/"_s + relativePath);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing test sample %s", qPrintable(file.fileName()));
    return file.readAll();
}

void FakeHttpServer::onNewConnection()
{
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        // As real servers do: no Nagle delay between the head and a body written separately.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { pump(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_buffers.remove(socket);
            delete m_streams.take(socket);
            socket->deleteLater();
        });
    }
}

void FakeHttpServer::onReadyRead(QTcpSocket* socket)
{
    QByteArray& buffer = m_buffers[socket];
    buffer += socket->readAll();
    const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return;

    Request request;
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            request.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
    }
    const qint64 length = request.header("content-length").toLongLong();
    if (buffer.size() < headEnd + 4 + length)
        return; // the body is still on its way
    request.body = buffer.mid(headEnd + 4, length);
    buffer.clear();

    const QUrl target(QString::fromLatin1(request.target));
    request.path = target.path();
    request.query = QUrlQuery(target);
    request.receivedAtMs = m_clock.elapsed();
    m_requests.append(request);
    emit requestReceived(request);
    respond(socket, request);
}

FakeHttpServer::Response FakeHttpServer::responseFor(const Request& request)
{
    const QString& path = request.path;
    if (const auto handler = m_handlers.constFind(path); handler != m_handlers.constEnd())
        return (*handler)(request);
    const auto it = m_responses.constFind(path);
    if (it == m_responses.constEnd() || it->isEmpty())
        return Response::text(404, "404 page not found");
    qsizetype& served = m_served[path];
    const Response response = it->at(qMin(served, it->size() - 1));
    ++served;
    return response;
}

void FakeHttpServer::respond(QTcpSocket* socket, const Request& request)
{
    const Response response = responseFor(request);
    if (response.silent)
        return;
    if (response.headDelayMs <= 0) {
        send(socket, response);
        return;
    }
    QPointer<QTcpSocket> guard(socket);
    QTimer::singleShot(response.headDelayMs, Qt::PreciseTimer, this, [this, guard, response] {
        if (guard && guard->state() == QAbstractSocket::ConnectedState)
            send(guard, response);
    });
}

void FakeHttpServer::send(QTcpSocket* socket, const Response& response)
{
    const bool streamed = !response.chunks.isEmpty() || response.generate;
    const bool chunked = streamed && !response.declaredLength;
    QByteArray head
        = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reasonPhrase(response.status) + "\r\n";
    for (const auto& [name, value] : response.headers)
        head += name + ": " + value + "\r\n";
    if (chunked)
        head += "Transfer-Encoding: chunked\r\n";
    else
        head += "Content-Length: "
            + QByteArray::number(response.declaredLength.value_or(response.body.size())) + "\r\n";
    head += "Connection: close\r\n\r\n";
    socket->write(head);

    if (response.generate) {
        // A small send buffer keeps the kernel from soaking up megabytes, so generating waits for the
        // client instead of crowding out its events on the shared thread.
        socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 16 * 1024);
        auto* stream = new Stream { response.generate, 0, chunked, response.ending };
        delete m_streams.take(socket);
        m_streams.insert(socket, stream);
        pump(socket);
    } else if (!response.chunks.isEmpty()) {
        sendChunks(socket, response.chunks, response.ending, chunked);
    } else {
        socket->write(response.body);
        finish(socket, response.ending, false);
    }
}

void FakeHttpServer::sendChunks(
    QTcpSocket* socket, QList<Chunk> chunks, Response::Ending ending, bool chunked)
{
    if (chunks.isEmpty()) {
        finish(socket, ending, chunked);
        return;
    }
    const Chunk chunk = chunks.takeFirst();
    QPointer<QTcpSocket> guard(socket);
    QTimer::singleShot(chunk.delayMs, Qt::PreciseTimer, this, [=, this] {
        if (!guard || guard->state() != QAbstractSocket::ConnectedState)
            return;
        if (!chunk.data.isEmpty())
            guard->write(chunked ? chunkFrame(chunk.data) : chunk.data);
        sendChunks(guard, chunks, ending, chunked);
    });
}

void FakeHttpServer::pump(QTcpSocket* socket)
{
    Stream* stream = m_streams.value(socket);
    if (!stream)
        return;
    while (socket->bytesToWrite() < GenerateHighWater) {
        const QByteArray piece = stream->generate(stream->index++);
        if (piece.isEmpty()) {
            const bool chunked = stream->chunked;
            const Response::Ending ending = stream->ending;
            delete m_streams.take(socket);
            finish(socket, ending, chunked);
            return;
        }
        m_generatedBytes += piece.size();
        socket->write(stream->chunked ? chunkFrame(piece) : piece);
    }
}

void FakeHttpServer::finish(QTcpSocket* socket, Response::Ending ending, bool chunked)
{
    if (ending == Response::Ending::Stall)
        return;
    if (ending == Response::Ending::Complete && chunked)
        socket->write("0\r\n\r\n");
    socket->disconnectFromHost();
}

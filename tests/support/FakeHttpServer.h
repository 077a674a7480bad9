// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QUrl>
#include <QUrlQuery>

#include <functional>
#include <optional>
#include <utility>

class QTcpSocket;

// A small HTTP/1.1 server on the loopback interface for tests: canned answers per path, including the
// misbehaving kinds (slow chunks, stalls, truncated and endless bodies), and a record of every request
// so a test can check it member by member. Lives on the test's thread; one connection per request.
class FakeHttpServer : public QObject
{
    Q_OBJECT

public:
    struct Chunk
    {
        QByteArray data;
        int delayMs = 0; // waited before this chunk is sent
    };

    struct Response
    {
        enum class Ending
        {
            Complete, // the body ends properly and the connection closes
            Stall, // after what was sent, nothing more: the connection stays open and silent
            Close, // the connection closes without ending the body (a truncated transfer)
        };

        int status = 200;
        QList<std::pair<QByteArray, QByteArray>> headers;
        // Sent whole, with a Content-Length, when chunks and generate are both empty.
        QByteArray body;
        // Sent one after another with chunked transfer encoding, each after its delay.
        QList<Chunk> chunks;
        // Called for piece after piece while the client keeps reading (index counts from 0); an empty
        // piece ends the body. For endless and huge bodies.
        std::function<QByteArray(qint64 index)> generate;
        // Announced instead of the real length; the body is then sent without chunked encoding.
        std::optional<qint64> declaredLength;
        // Answer nothing at all, not even the status line.
        bool silent = false;
        // Wait this long before answering at all.
        int headDelayMs = 0;
        Ending ending = Ending::Complete;

        static Response json(int status, const QByteArray& body);
        static Response text(
            int status, const QByteArray& body, const QByteArray& contentType = "text/plain; charset=utf-8");
        static Response redirect(int status, const QByteArray& location);
        // Newline-delimited lines as a stream, cut into pieces of chunkSize bytes regardless of where
        // the lines end, each piece after delayMs.
        static Response ndjson(const QByteArray& lines, int chunkSize = 0, int delayMs = 0);
    };

    struct Request
    {
        QByteArray method;
        QByteArray target; // as on the request line: path and query
        QString path;
        QUrlQuery query;
        QHash<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
        qint64 receivedAtMs = 0; // on a monotonic clock started with the server

        QByteArray header(const QByteArray& name) const
        {
            return headers.value(name.toLower());
        }
        bool hasHeader(const QByteArray& name) const
        {
            return headers.contains(name.toLower());
        }
        // The body as a JSON object; empty when it is not one.
        QJsonObject json() const;
    };

    explicit FakeHttpServer(QObject* parent = nullptr);
    ~FakeHttpServer() override;

    // Listens on a free port of address (a second server may take 127.0.0.2, another origin).
    bool listen(const QHostAddress& address = QHostAddress::LocalHost);
    quint16 port() const;
    // http://<address>:<port> followed by path.
    QUrl url(const QString& path = QString()) const;

    // Answers every request for path (the query is ignored) with response.
    void on(const QString& path, const Response& response);
    // Answers the requests for path with these responses in turn; the last one repeats.
    void onSequence(const QString& path, const QList<Response>& responses);
    // Answers each request for path with what handler makes of it (by its query, say).
    void onRequest(const QString& path, std::function<Response(const Request&)> handler);
    // Any path without an answer gets 404 "404 page not found" as plain text.

    const QList<Request>& requests() const
    {
        return m_requests;
    }
    qsizetype count(const QString& path) const;
    // The last request for path; an empty request when there was none.
    Request last(const QString& path) const;
    // How many bytes generate() has handed out so far, all connections together.
    qint64 generatedBytes() const
    {
        return m_generatedBytes;
    }

    // A file of the peer samples shipped with the tests (tests/<relativePath>), read whole.
    static QByteArray sample(const QString& relativePath);

signals:
    void requestReceived(const FakeHttpServer::Request& request);

private:
    struct Stream;

    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);
    void respond(QTcpSocket* socket, const Request& request);
    void sendChunks(QTcpSocket* socket, QList<Chunk> chunks, Response::Ending ending, bool chunked);
    void pump(QTcpSocket* socket);
    void finish(QTcpSocket* socket, Response::Ending ending, bool chunked);
    Response responseFor(const Request& request);
    void send(QTcpSocket* socket, const Response& response);

    QTcpServer m_server;
    QHash<QString, QList<Response>> m_responses;
    QHash<QString, std::function<Response(const Request&)>> m_handlers;
    QElapsedTimer m_clock;
    QHash<QString, qsizetype> m_served;
    QList<Request> m_requests;
    QHash<QTcpSocket*, QByteArray> m_buffers;
    QHash<QTcpSocket*, Stream*> m_streams;
    qint64 m_generatedBytes = 0;
};

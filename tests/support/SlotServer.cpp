// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/SlotServer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {

const QString Answer = uR"({"content": "测试画面", "location": ""})"_s;

// Shaped as the servers answer (see the peer samples): /api/generate with "stream": false, and a chat
// completion.
QByteArray answerBody(bool isChat)
{
    if (!isChat) {
        return QJsonDocument(
            QJsonObject { { u"model"_s, u"qwen2.5vl:7b"_s },
                { u"created_at"_s, u"2026-09-18T06:03:12.983619Z"_s }, { u"response"_s, Answer },
                { u"done"_s, true }, { u"done_reason"_s, u"stop"_s } })
            .toJson(QJsonDocument::Compact);
    }
    const QJsonObject message { { u"role"_s, u"assistant"_s }, { u"content"_s, Answer } };
    const QJsonObject choice { { u"index"_s, 0 }, { u"message"_s, message },
        { u"finish_reason"_s, u"stop"_s } };
    return QJsonDocument(QJsonObject { { u"id"_s, u"chatcmpl-1"_s }, { u"object"_s, u"chat.completion"_s },
                             { u"model"_s, u"qwen2.5-vl-7b"_s }, { u"choices"_s, QJsonArray { choice } } })
        .toJson(QJsonDocument::Compact);
}

} // namespace

SlotServer::SlotServer(int slotCount, int latencyMs, QObject* parent)
    : QObject(parent)
    , m_slots(slotCount)
    , m_latencyMs(latencyMs)
{
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            ++m_connections;
            socket->setParent(this);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                m_buffers.remove(socket);
                socket->deleteLater();
            });
        }
    });
}

bool SlotServer::listen(quint16 port)
{
    return m_server.listen(QHostAddress::LocalHost, port);
}

QUrl SlotServer::url(const QString& path) const
{
    return QUrl(u"http://127.0.0.1:%1%2"_s.arg(m_server.serverPort()).arg(path));
}

void SlotServer::kill()
{
    m_server.close();
    for (QTcpSocket* socket : findChildren<QTcpSocket*>())
        socket->abort();
    m_queue.clear();
}

void SlotServer::onReadyRead(QTcpSocket* socket)
{
    QByteArray& buffer = m_buffers[socket];
    buffer += socket->readAll();
    // One whole request at a time: the head, then as many bytes as Content-Length says.
    while (true) {
        const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return;
        const QByteArray head = buffer.left(headEnd).toLower();
        qsizetype length = 0;
        if (const qsizetype at = head.indexOf("content-length:"); at >= 0)
            length = head.mid(at + 15, head.indexOf('\r', at) - at - 15).trimmed().toLongLong();
        if (buffer.size() < headEnd + 4 + length)
            return;
        const bool isChat = head.contains("/chat/completions");
        buffer.remove(0, headEnd + 4 + length);

        const double draw = m_random.generateDouble();
        if (draw < m_faults.tooManyRequests) {
            ++m_refused;
            const bool says = m_random.generateDouble() < m_faults.withRetryAfter;
            reply(socket, 429,
                R"({"error":{"message":"Rate limit reached, please try again later.","type":"requests","param":null,"code":"rate_limit_exceeded"}})",
                says ? "Retry-After: " + m_faults.retryAfter + "\r\n" : QByteArray());
        } else if (draw < m_faults.tooManyRequests + m_faults.unavailable) {
            ++m_refused;
            reply(socket, 503,
                R"({"error":"server busy, please try again.  maximum pending requests exceeded"})");
        } else {
            m_queue.push_back({ socket, isChat });
            m_mostOutstanding = std::max(m_mostOutstanding, m_active + int(m_queue.size()));
            startWaiting();
        }
    }
}

void SlotServer::startWaiting()
{
    while (m_active < m_slots && !m_queue.empty()) {
        const Waiting next = m_queue.front();
        m_queue.pop_front();
        ++m_active;
        m_mostActive = std::max(m_mostActive, m_active);
        QTimer::singleShot(m_latencyMs, this, [this, next] {
            --m_active;
            if (next.socket && next.socket->state() == QAbstractSocket::ConnectedState) {
                ++m_served;
                reply(next.socket, 200, answerBody(next.isChat));
            }
            startWaiting();
        });
    }
}

void SlotServer::reply(QTcpSocket* socket, int status, const QByteArray& body, const QByteArray& extraHeaders)
{
    const QByteArray reason = status == 200 ? "OK"
        : status == 429                     ? "Too Many Requests"
                                            : "Service Unavailable";
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason
        + "\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\n" + extraHeaders;
    if (m_closesAfterReply)
        head += "Connection: close\r\n";
    socket->write(head + "\r\n" + body);
    if (m_closesAfterReply)
        socket->disconnectFromHost();
}

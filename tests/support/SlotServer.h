// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QUrl>

#include <deque>

class QTcpSocket;

// A model server on loopback that batches as vLLM or llama.cpp's server do: up to slotCount requests are
// worked on together, each answered `latencyMs` after it started, and more wait in a queue. Answers
// /api/generate as the local server and /v1/chat/completions as an OpenAI-compatible one. HTTP/1.1
// with keep-alive, or closing after every reply. A share of requests can be refused at once: 429 with
// or without Retry-After, and 503. Lives on its creator's thread.
class SlotServer : public QObject
{
public:
    struct Faults
    {
        double tooManyRequests = 0; // share of requests answered 429
        double withRetryAfter = 0.5; // share of those 429 that say Retry-After: retryAfter
        QByteArray retryAfter = "1";
        double unavailable = 0; // share answered 503
    };

    SlotServer(int slotCount, int latencyMs, QObject* parent = nullptr);

    bool listen(quint16 port = 0);
    QUrl url(const QString& path = QString()) const;
    void setFaults(const Faults& faults)
    {
        m_faults = faults;
    }
    void setClosesAfterReply(bool closes)
    {
        m_closesAfterReply = closes;
    }
    // Goes away at once, as a crashed back-end does: stops listening and drops every connection.
    void kill();

    // Requests answered 200, and refused with 429 or 503.
    qsizetype served() const
    {
        return m_served;
    }
    qsizetype refused() const
    {
        return m_refused;
    }
    // The most requests the server held at one time, worked on or queued.
    int mostOutstanding() const
    {
        return m_mostOutstanding;
    }
    // The most worked on at one time (never above the slots).
    int mostActive() const
    {
        return m_mostActive;
    }
    // Connections accepted so far: with keep-alive, far fewer than requests.
    qsizetype connections() const
    {
        return m_connections;
    }

private:
    struct Waiting
    {
        QPointer<QTcpSocket> socket;
        bool isChat = false;
    };

    void onReadyRead(QTcpSocket* socket);
    void startWaiting();
    void reply(QTcpSocket* socket, int status, const QByteArray& body, const QByteArray& extraHeaders = {});

    QTcpServer m_server;
    int m_slots;
    int m_latencyMs;
    Faults m_faults;
    bool m_closesAfterReply = false;
    QRandomGenerator m_random { 20260918 };
    QHash<QTcpSocket*, QByteArray> m_buffers;
    std::deque<Waiting> m_queue;
    int m_active = 0;
    int m_mostActive = 0;
    int m_mostOutstanding = 0;
    qsizetype m_served = 0;
    qsizetype m_refused = 0;
    qsizetype m_connections = 0;
};

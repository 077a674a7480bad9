// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "net/Http.h"

#include <QByteArray>
#include <QString>

#include <optional>

// How a request to a model server failed. Both clients share this shape; OllamaError and
// OpenAICompatError each word it for the user in message(), which is shown unchanged.
struct ClientError
{
    enum class Kind
    {
        Http, // the server reported an error: status and body as the client reads them
        Transport, // no usable answer: unreachable, time-out, broken or oversized transfer
        Decoding, // an answer of the wrong shape
        Cancelled, // the caller or a shutdown ended the request
    };

    Kind kind = Kind::Http;
    // Http: the HTTP status, or 0 when the server reported the error inside a streamed line.
    int status = 0;
    // Http: the error text as the client's rules reduce it.
    QString body;
    // Every other kind: the whole text to show (Qt's own description for transport failures).
    QString detail;
    // Http: how long the server asked the client to wait before trying again, when it said so.
    std::optional<qint64> retryAfterMs;
    // Transport: the connection was refused, reset or closed before a whole answer came.
    bool isConnectionLost = false;
    // Http: the server said that trying again will not help (a spent quota, a request too large).
    bool isFinal = false;

    bool isCancelled() const
    {
        return kind == Kind::Cancelled;
    }
};

// Helpers the clients and the prompt share.
namespace VisionText {

// The message of an error body: error.message, else message, else error when it is a string; nothing
// when text is no JSON object or has none of them.
std::optional<QString> extractMessage(const QString& text);

// The body as text when it is valid UTF-8; nothing otherwise.
std::optional<QString> strictUtf8(const QByteArray& bytes);

// A transport failure (or the caller's abort) as a client error.
ClientError fromTransport(const Net::Reply& reply);

// An HTTP error of this reply with this text, carrying the wait the server asked for.
template <typename Error> Error httpError(const Net::Reply& reply, const QString& text)
{
    Error error = Error::http(reply.status, text);
    error.retryAfterMs = reply.retryAfterMs;
    return error;
}

} // namespace VisionText

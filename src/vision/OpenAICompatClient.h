// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "net/Http.h"
#include "vision/ClientError.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <tl/expected.hpp>

// A failure of the OpenAI-compatible client.
struct OpenAICompatError : ClientError
{
    OpenAICompatError() = default;
    explicit OpenAICompatError(ClientError error)
        : ClientError(std::move(error))
    { }
    static OpenAICompatError http(int status, const QString& body);

    // "接口返回 <status>：<body><hint for 401/403, 404, 429>" for Http; the detail otherwise.
    QString message() const;
    // Whether the service complained about the requested response format (so a retry without it may do).
    bool mentionsResponseFormat() const;
};

// An online chat-completions service (OpenAI or a compatible one): image analysis and the model list.
// An immutable value made afresh from the settings for each use; every operation runs asynchronously
// on the main thread and reports once, to done, while context lives (see Net).
class OpenAICompatClient
{
public:
    struct Limits
    {
        // Idle time-outs in seconds, per request.
        int listModels = 20;
        int chat = 300;
        // Chat replies and model lists are small; a larger body does not come from the service.
        qint64 maxReplyBytes = 32 * 1024 * 1024;
    };

    template <typename T> using Result = tl::expected<T, OpenAICompatError>;

    // baseURL includes the version path, such as …/v1. An empty apiKey sends no Authorization header.
    OpenAICompatClient(QUrl baseURL, QString apiKey, QString model);
    OpenAICompatClient(QUrl baseURL, QString apiKey, QString model, Limits limits);

    const QUrl& baseURL() const
    {
        return m_baseURL;
    }
    const QString& apiKey() const
    {
        return m_apiKey;
    }
    const QString& model() const
    {
        return m_model;
    }

    // GET /models: the model ids, sorted by code point; an unexpected body gives an empty list.
    Net::Handle listModels(QObject* context, std::function<void(Result<QStringList>)> done) const;

    // The prompt and the JPEG frames as one user message, first asking for a JSON object reply; when
    // the service rejects that response format, once more without it. The reply text, unparsed.
    // On the network lane given (see Net::Options::lane).
    Net::Handle analyze(const QList<QByteArray>& frames,
        const QString& prompt,
        QObject* context,
        std::function<void(Result<QString>)> done,
        int lane = 0) const;

    // One POST /chat/completions with these messages.
    Net::Handle send(const QJsonArray& messages,
        bool jsonMode,
        QObject* context,
        std::function<void(Result<QString>)> done,
        int lane = 0) const;

    // The message in an error body (error.message, message or error; one level of JSON nested in the
    // message is unwrapped too); else the first 300 characters of the body.
    static QString readable(const QString& body);

    static QJsonArray messages(const QList<QByteArray>& frames, const QString& prompt);
    QJsonObject chatRequest(const QJsonArray& messages, bool jsonMode) const;

    // What listModels() and send() make of the service's answer.
    static Result<QStringList> modelIdsFromReply(const Net::Reply& reply);
    static Result<QString> contentFromReply(const Net::Reply& reply);

private:
    QNetworkRequest request(const QString& path) const;

    QUrl m_baseURL;
    QString m_apiKey;
    QString m_model;
    Limits m_limits;
};

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "net/Http.h"
#include "vision/ClientError.h"
#include "vision/OllamaModel.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

#include <functional>
#include <tl/expected.hpp>

// A failure of the local model server client.
struct OllamaError : ClientError
{
    OllamaError() = default;
    explicit OllamaError(ClientError error)
        : ClientError(std::move(error))
    { }
    static OllamaError http(int status, const QString& body);

    // "Ollama 返回错误 <status>：<first 300 characters of body>" for Http; the detail otherwise.
    QString message() const;
};

// The local model server's HTTP interface: its model list, the analysis of images, model downloads.
// An immutable value made afresh from the settings for each use; every operation runs asynchronously
// on the main thread and reports once, to done, while context lives (see Net).
class OllamaClient
{
public:
    struct Limits
    {
        // Idle time-outs in seconds, per operation.
        int listModels = 15;
        int analyze = 600;
        int pullModel = 3600;
        // Model lists and replies are small; a larger body does not come from a model server.
        qint64 maxReplyBytes = 32 * 1024 * 1024;
    };

    template <typename T> using Result = tl::expected<T, OllamaError>;

    OllamaClient(QUrl baseURL, QString model);
    OllamaClient(QUrl baseURL, QString model, Limits limits);

    const QUrl& baseURL() const
    {
        return m_baseURL;
    }
    const QString& model() const
    {
        return m_model;
    }

    // GET /api/tags: the models in the server's order.
    Net::Handle listModels(QObject* context, std::function<void(Result<QList<OllamaModel>>)> done) const;

    // POST /api/generate with the JPEG frames and the prompt; the model's reply text, unparsed. On the
    // network lane given (see Net::Options::lane).
    Net::Handle analyze(const QList<QByteArray>& frames,
        const QString& prompt,
        QObject* context,
        std::function<void(Result<QString>)> done,
        int lane = 0) const;

    // How long the server keeps the model loaded after an analysis ("30m"); empty: the server's default.
    void setKeepAlive(const QString& duration)
    {
        m_keepAlive = duration;
    }

    // POST /api/pull: downloads the model name, reporting each progress text ("pulling 3a5b1c 42%",
    // "verifying sha256 digest", …) as it streams in. Completes when the stream ends.
    Net::Handle pullModel(const QString& name,
        QObject* context,
        std::function<void(const QString& progress)> onProgress,
        std::function<void(Result<void>)> done) const;

    // The message in an error body (error.message, message or error; one level of JSON nested in the
    // message is unwrapped too); the body itself when it holds none.
    static QString readableError(const QString& body);

    // The model context size for this many images: 4096, 8192, 16384 or 32768.
    static int contextSize(qsizetype frameCount);

    // The /api/generate request body.
    QJsonObject analyzeRequest(const QList<QByteArray>& frames, const QString& prompt) const;

    // The progress text of one line of a pull stream, empty when it reports nothing; an error line
    // gives the error instead.
    static tl::expected<QString, OllamaError> pullProgress(const QByteArray& line);

    // What listModels() and analyze() make of the server's answer.
    static Result<QList<OllamaModel>> modelListFromReply(const Net::Reply& reply);
    static Result<QString> responseFromReply(const Net::Reply& reply);

private:
    QUrl m_baseURL;
    QString m_model;
    Limits m_limits;
    QString m_keepAlive;
};

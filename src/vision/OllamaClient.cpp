// SPDX-License-Identifier: GPL-3.0-or-later
#include "vision/OllamaClient.h"

#include "common/Text.h"
#include "vision/Messages.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype MaxShownBodyCharacters = 300;
constexpr qsizetype ExcerptCharacters = 120;
// One progress line is a few hundred bytes.
constexpr qint64 MaxPullLineBytes = 1024 * 1024;
// A download of many gigabytes over a slow line takes hours; the user can always cancel it.
constexpr int PullDeadlineSeconds = 24 * 3600;

Net::Options options(int idleSeconds, qint64 maxBytes)
{
    Net::Options result;
    result.idleTimeoutSeconds = idleSeconds;
    result.maxBodyBytes = maxBytes;
    result.serviceName = u"Ollama"_s;
    return result;
}

QString excerpt(const QByteArray& body)
{
    return Text::firstGraphemes(QString::fromUtf8(body).simplified(), ExcerptCharacters);
}

OllamaError decodingError(const QString& detail)
{
    ClientError error;
    error.kind = ClientError::Kind::Decoding;
    error.detail = detail;
    return OllamaError(std::move(error));
}

// A JSON integer: whole and within 64 bits, whatever form the number was written in.
std::optional<qint64> integerMember(const QJsonObject& object, const QString& key)
{
    const QJsonValue value = object.value(key);
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (number != std::trunc(number) || std::abs(number) >= 9.2e18)
        return std::nullopt;
    return value.toInteger(qint64(number));
}

} // namespace

OllamaError OllamaError::http(int status, const QString& body)
{
    ClientError error;
    error.kind = Kind::Http;
    error.status = status;
    error.body = body;
    return OllamaError(std::move(error));
}

QString OllamaError::message() const
{
    if (kind == Kind::Http)
        return Vision::Messages::ollamaHttp(status, Text::firstGraphemes(body, MaxShownBodyCharacters));
    return detail;
}

OllamaClient::OllamaClient(QUrl baseURL, QString model)
    : OllamaClient(std::move(baseURL), std::move(model), Limits())
{ }

OllamaClient::OllamaClient(QUrl baseURL, QString model, Limits limits)
    : m_baseURL(std::move(baseURL))
    , m_model(std::move(model))
    , m_limits(limits)
{ }

int OllamaClient::contextSize(qsizetype frameCount)
{
    const qint64 wanted = qMin<qint64>(qint64(frameCount) * 1400 + 2048, 32768);
    int size = 4096;
    while (size < wanted)
        size *= 2;
    return size;
}

QString OllamaClient::readableError(const QString& body)
{
    const std::optional<QString> outer = VisionText::extractMessage(body);
    if (!outer)
        return body;
    // Some servers pass on an upstream error whose text is itself a JSON error document.
    return VisionText::extractMessage(*outer).value_or(*outer);
}

QJsonObject OllamaClient::analyzeRequest(const QList<QByteArray>& frames, const QString& prompt) const
{
    QJsonArray images;
    for (const QByteArray& frame : frames)
        images.append(QString::fromLatin1(frame.toBase64()));
    const QJsonObject stringType { { u"type"_s, u"string"_s } };
    const QJsonObject format {
        { u"type"_s, u"object"_s },
        { u"properties"_s, QJsonObject { { u"content"_s, stringType }, { u"location"_s, stringType } } },
        { u"required"_s, QJsonArray { u"content"_s, u"location"_s } },
    };
    QJsonObject request {
        { u"model"_s, m_model },
        { u"prompt"_s, prompt },
        { u"images"_s, images },
        { u"stream"_s, false },
        { u"format"_s, format },
        { u"options"_s, QJsonObject { { u"num_ctx"_s, contextSize(frames.size()) } } },
    };
    if (!m_keepAlive.isEmpty())
        request.insert(u"keep_alive"_s, m_keepAlive);
    return request;
}

Net::Handle OllamaClient::listModels(
    QObject* context, std::function<void(Result<QList<OllamaModel>>)> done) const
{
    return Net::get(QNetworkRequest(Net::appendPath(m_baseURL, u"/api/tags"_s)),
        options(m_limits.listModels, m_limits.maxReplyBytes), context,
        [done = std::move(done)](const Net::Reply& reply) { done(modelListFromReply(reply)); });
}

OllamaClient::Result<QList<OllamaModel>> OllamaClient::modelListFromReply(const Net::Reply& reply)
{
    if (!reply.isFinished())
        return tl::make_unexpected(OllamaError(VisionText::fromTransport(reply)));
    // The status is not looked at: an error page simply is not a model list.
    const auto unreadable = [&] {
        return tl::make_unexpected(
            decodingError(Vision::Messages::ollamaModelListUnreadable(reply.status, excerpt(reply.body))));
    };
    const QJsonDocument document = QJsonDocument::fromJson(reply.body);
    const QJsonValue models = document.object().value(u"models"_s);
    if (!models.isArray())
        return unreadable();
    QList<OllamaModel> list;
    for (const QJsonValue& entry : models.toArray()) {
        const std::optional<OllamaModel> model
            = entry.isObject() ? OllamaModel::fromJson(entry.toObject()) : std::nullopt;
        if (!model)
            return unreadable();
        list.append(*model);
    }
    return list;
}

Net::Handle OllamaClient::analyze(const QList<QByteArray>& frames,
    const QString& prompt,
    QObject* context,
    std::function<void(Result<QString>)> done,
    int lane) const
{
    const QByteArray body = QJsonDocument(analyzeRequest(frames, prompt)).toJson(QJsonDocument::Compact);
    Net::Options analyzeOptions = options(m_limits.analyze, m_limits.maxReplyBytes);
    analyzeOptions.lane = lane;
    return Net::post(Net::jsonRequest(Net::appendPath(m_baseURL, u"/api/generate"_s)), body, analyzeOptions,
        context, [done = std::move(done)](const Net::Reply& reply) { done(responseFromReply(reply)); });
}

OllamaClient::Result<QString> OllamaClient::responseFromReply(const Net::Reply& reply)
{
    if (!reply.isFinished())
        return tl::make_unexpected(OllamaError(VisionText::fromTransport(reply)));
    const QJsonObject object = QJsonDocument::fromJson(reply.body).object();
    // Checked before the status: servers report some failures inside a 200.
    if (const QJsonValue error = object.value(u"error"_s); error.isString())
        return tl::make_unexpected(
            VisionText::httpError<OllamaError>(reply, readableError(error.toString())));
    if (!reply.isSuccessStatus()) {
        const QString text = VisionText::strictUtf8(reply.body).value_or(QString());
        return tl::make_unexpected(VisionText::httpError<OllamaError>(reply, readableError(text)));
    }
    const QJsonValue response = object.value(u"response"_s);
    if (!response.isString())
        return tl::make_unexpected(
            decodingError(Vision::Messages::ollamaReplyUnreadable(excerpt(reply.body))));
    return response.toString();
}

tl::expected<QString, OllamaError> OllamaClient::pullProgress(const QByteArray& line)
{
    const QJsonDocument document = QJsonDocument::fromJson(line);
    if (!document.isObject())
        return QString();
    const QJsonObject object = document.object();
    if (const QJsonValue error = object.value(u"error"_s); error.isString())
        return tl::make_unexpected(OllamaError::http(0, error.toString()));
    const QString status = object.value(u"status"_s).toString();
    const std::optional<qint64> total = integerMember(object, u"total"_s);
    const std::optional<qint64> completed = integerMember(object, u"completed"_s);
    if (total && *total >= 1 && completed) {
        // Truncated toward zero; a server that overshoots its total shows more than 100.
        const double percent = std::trunc(double(*completed) / double(*total) * 100.0);
        const qint64 shown = qint64(std::clamp(percent, -1e15, 1e15));
        return status + u' ' + QString::number(shown) + u'%';
    }
    return status;
}

Net::Handle OllamaClient::pullModel(const QString& name,
    QObject* context,
    std::function<void(const QString& progress)> onProgress,
    std::function<void(Result<void>)> done) const
{
    const QByteArray body = QJsonDocument(QJsonObject { { u"name"_s, name }, { u"stream"_s, true } })
                                .toJson(QJsonDocument::Compact);
    // The first error line ends the download; it is reported once the request has ended.
    auto streamError = std::make_shared<std::optional<OllamaError>>();
    Net::Options pullOptions = options(m_limits.pullModel, MaxPullLineBytes);
    pullOptions.deadlineSeconds = PullDeadlineSeconds;
    return Net::postLines(
        Net::jsonRequest(Net::appendPath(m_baseURL, u"/api/pull"_s)), body, pullOptions, context,
        [streamError, onProgress = std::move(onProgress)](const QByteArray& line) {
            const auto progress = pullProgress(line);
            if (!progress) {
                *streamError = progress.error();
                return false;
            }
            if (!progress->isEmpty())
                onProgress(*progress);
            return true;
        },
        [streamError, done = std::move(done)](const Net::Reply& reply) {
            if (*streamError) {
                done(tl::make_unexpected(**streamError));
            } else if (!reply.isFinished()) {
                done(tl::make_unexpected(OllamaError(VisionText::fromTransport(reply))));
            } else if (!reply.isSuccessStatus()) {
                // The whole error body with its line breaks dropped, not reduced to its message.
                QString text = QString::fromUtf8(reply.body);
                text.remove(u'\r');
                text.remove(u'\n');
                done(tl::make_unexpected(OllamaError::http(reply.status, text)));
            } else {
                done({});
            }
        });
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "vision/OpenAICompatClient.h"

#include "common/Text.h"
#include "vision/Messages.h"

#include <QJsonDocument>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype MaxReadableCharacters = 300;
constexpr qsizetype MaxNotJsonCharacters = 200;

Net::Options options(int idleSeconds, qint64 maxBytes)
{
    Net::Options result;
    result.idleTimeoutSeconds = idleSeconds;
    result.maxBodyBytes = maxBytes;
    result.serviceName = u"接口服务"_s;
    return result;
}

// A header value cannot carry line breaks; sent anyway they would split the request.
bool hasControlCharacters(const QString& text)
{
    return std::any_of(
        text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

// Plain code-point order: upper case before lower case, characters beyond U+FFFF after the rest.
bool codePointLess(const QString& a, const QString& b)
{
    return a.toStdU32String() < b.toStdU32String();
}

// The "error" member of a 2xx reply as text: its message when it has one, else the value itself.
QString errorText(const QJsonValue& error)
{
    if (const QJsonValue message = error.toObject().value(u"message"_s);
        error.isObject() && message.isString())
        return message.toString();
    switch (error.type()) {
    case QJsonValue::String:
        return error.toString();
    case QJsonValue::Bool:
        return error.toBool() ? u"true"_s : u"false"_s;
    case QJsonValue::Double:
        return QString::number(error.toDouble(), 'g', 17);
    case QJsonValue::Array:
        return QString::fromUtf8(QJsonDocument(error.toArray()).toJson(QJsonDocument::Compact));
    case QJsonValue::Object:
        return QString::fromUtf8(QJsonDocument(error.toObject()).toJson(QJsonDocument::Compact));
    default:
        return {};
    }
}

template <typename T>
Net::Handle failLater(
    QObject* context, std::function<void(tl::expected<T, OpenAICompatError>)> done, const QString& detail)
{
    ClientError error;
    error.kind = ClientError::Kind::Transport;
    error.detail = detail;
    QMetaObject::invokeMethod(
        context, [done = std::move(done), error] { done(tl::make_unexpected(OpenAICompatError(error))); },
        Qt::QueuedConnection);
    return {};
}

// A 429 is two things: a rate limit, which passes ("Please try again in 18.642s." when no header says
// it), and a spent quota or a request over the limit, which waiting does not mend.
void noteRateLimit(ClientError& error, const QString& body)
{
    const QJsonObject detail = QJsonDocument::fromJson(body.toUtf8()).object().value(u"error"_s).toObject();
    const QString code = detail.value(u"code"_s).toString() + u' ' + detail.value(u"type"_s).toString();
    if (code.contains(u"insufficient_quota"_s) || error.body.contains(u"Request too large"_s)) {
        error.isFinal = true;
        return;
    }
    static const QRegularExpression tryAgain(u"try again in (\\d+(?:\\.\\d+)?)(ms|s)\\b"_s);
    if (const QRegularExpressionMatch match = tryAgain.match(error.body);
        match.hasMatch() && !error.retryAfterMs)
        error.retryAfterMs
            = qint64(std::ceil(match.captured(1).toDouble() * (match.captured(2) == u"s" ? 1000.0 : 1.0)));
}

} // namespace

OpenAICompatError OpenAICompatError::http(int status, const QString& body)
{
    ClientError error;
    error.kind = Kind::Http;
    error.status = status;
    error.body = body;
    return OpenAICompatError(std::move(error));
}

QString OpenAICompatError::message() const
{
    return kind == Kind::Http ? Vision::Messages::compatHttp(status, body) : detail;
}

bool OpenAICompatError::mentionsResponseFormat() const
{
    if (kind != Kind::Http)
        return false;
    const QString lower = body.toLower();
    return lower.contains(u"response_format"_s) || lower.contains(u"json_object"_s)
        || lower.contains(u"json schema"_s);
}

OpenAICompatClient::OpenAICompatClient(QUrl baseURL, QString apiKey, QString model)
    : OpenAICompatClient(std::move(baseURL), std::move(apiKey), std::move(model), Limits())
{ }

OpenAICompatClient::OpenAICompatClient(QUrl baseURL, QString apiKey, QString model, Limits limits)
    : m_baseURL(std::move(baseURL))
    , m_apiKey(std::move(apiKey))
    , m_model(std::move(model))
    , m_limits(limits)
{ }

QString OpenAICompatClient::readable(const QString& body)
{
    if (const std::optional<QString> outer = VisionText::extractMessage(body))
        return VisionText::extractMessage(*outer).value_or(*outer);
    return Text::firstGraphemes(body, MaxReadableCharacters);
}

QJsonArray OpenAICompatClient::messages(const QList<QByteArray>& frames, const QString& prompt)
{
    QJsonArray content { QJsonObject { { u"type"_s, u"text"_s }, { u"text"_s, prompt } } };
    for (const QByteArray& frame : frames) {
        const QString url = u"data:image/jpeg;base64,"_s + QString::fromLatin1(frame.toBase64());
        content.append(QJsonObject {
            { u"type"_s, u"image_url"_s },
            { u"image_url"_s, QJsonObject { { u"url"_s, url } } },
        });
    }
    return { QJsonObject { { u"role"_s, u"user"_s }, { u"content"_s, content } } };
}

QJsonObject OpenAICompatClient::chatRequest(const QJsonArray& messages, bool jsonMode) const
{
    QJsonObject body {
        { u"model"_s, m_model },
        { u"messages"_s, messages },
        { u"temperature"_s, 0.2 },
        { u"max_tokens"_s, 800 },
    };
    if (jsonMode)
        body.insert(u"response_format"_s, QJsonObject { { u"type"_s, u"json_object"_s } });
    return body;
}

QNetworkRequest OpenAICompatClient::request(const QString& path) const
{
    QNetworkRequest request = Net::jsonRequest(Net::appendPath(m_baseURL, path));
    if (!m_apiKey.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + m_apiKey.toUtf8());
    return request;
}

Net::Handle OpenAICompatClient::listModels(
    QObject* context, std::function<void(Result<QStringList>)> done) const
{
    if (hasControlCharacters(m_apiKey))
        return failLater(context, std::move(done), Vision::Messages::ApiKeyHasControlCharacters);
    return Net::get(request(u"/models"_s), options(m_limits.listModels, m_limits.maxReplyBytes), context,
        [done = std::move(done)](const Net::Reply& reply) { done(modelIdsFromReply(reply)); });
}

OpenAICompatClient::Result<QStringList> OpenAICompatClient::modelIdsFromReply(const Net::Reply& reply)
{
    if (!reply.isFinished())
        return tl::make_unexpected(OpenAICompatError(VisionText::fromTransport(reply)));
    if (!reply.isSuccessStatus()) {
        const QString text = VisionText::strictUtf8(reply.body).value_or(QString());
        return tl::make_unexpected(OpenAICompatError::http(reply.status, readable(text)));
    }
    // Lists that are not in the expected shape are not an error: there is just nothing to offer.
    const QJsonValue data = QJsonDocument::fromJson(reply.body).object().value(u"data"_s);
    const QJsonArray entries = data.toArray();
    QStringList ids;
    for (const QJsonValue& entry : entries) {
        if (!entry.isObject())
            return QStringList();
        if (const QJsonValue id = entry.toObject().value(u"id"_s); id.isString())
            ids.append(id.toString());
    }
    std::stable_sort(ids.begin(), ids.end(), codePointLess);
    return ids;
}

OpenAICompatClient::Result<QString> OpenAICompatClient::contentFromReply(const Net::Reply& reply)
{
    if (!reply.isFinished())
        return tl::make_unexpected(OpenAICompatError(VisionText::fromTransport(reply)));
    if (!reply.isSuccessStatus()) {
        const QString text = VisionText::strictUtf8(reply.body).value_or(QString());
        auto error = VisionText::httpError<OpenAICompatError>(reply, readable(text));
        if (reply.status == 429)
            noteRateLimit(error, text);
        return tl::make_unexpected(error);
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(reply.body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        const QString text = VisionText::strictUtf8(reply.body).value_or(QString());
        return tl::make_unexpected(OpenAICompatError::http(reply.status,
            Vision::Messages::CompatNotJson + Text::firstGraphemes(text, MaxNotJsonCharacters)));
    }
    const QJsonObject object = document.object();
    // "error": null is how some gateways say "no error"; only a value counts.
    if (const QJsonValue error = object.value(u"error"_s); !error.isUndefined() && !error.isNull())
        return tl::make_unexpected(OpenAICompatError::http(reply.status, errorText(error)));
    const QJsonArray choices = object.value(u"choices"_s).toArray();
    const QJsonValue content = choices.isEmpty()
        ? QJsonValue()
        : choices.at(0).toObject().value(u"message"_s).toObject().value(u"content"_s);
    if (!content.isString())
        return tl::make_unexpected(OpenAICompatError::http(reply.status, Vision::Messages::CompatNoContent));
    return content.toString();
}

Net::Handle OpenAICompatClient::send(const QJsonArray& messages,
    bool jsonMode,
    QObject* context,
    std::function<void(Result<QString>)> done,
    int lane) const
{
    if (hasControlCharacters(m_apiKey))
        return failLater(context, std::move(done), Vision::Messages::ApiKeyHasControlCharacters);
    const QByteArray body = QJsonDocument(chatRequest(messages, jsonMode)).toJson(QJsonDocument::Compact);
    Net::Options chatOptions = options(m_limits.chat, m_limits.maxReplyBytes);
    chatOptions.lane = lane;
    return Net::post(request(u"/chat/completions"_s), body, chatOptions, context,
        [done = std::move(done)](const Net::Reply& reply) { done(contentFromReply(reply)); });
}

Net::Handle OpenAICompatClient::analyze(const QList<QByteArray>& frames,
    const QString& prompt,
    QObject* context,
    std::function<void(Result<QString>)> done,
    int lane) const
{
    const QJsonArray list = messages(frames, prompt);
    const Net::Handle handle;
    handle.follow(send(
        list, true, context,
        [client = *this, list, context, handle, done, lane](Result<QString> first) {
            if (first || !first.error().mentionsResponseFormat()) {
                done(std::move(first));
                return;
            }
            // The service does not take the JSON response format; the prompt alone asks for JSON.
            handle.follow(client.send(list, false, context, done, lane));
        },
        lane));
    return handle;
}

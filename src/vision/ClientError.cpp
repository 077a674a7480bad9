// SPDX-License-Identifier: GPL-3.0-or-later
#include "vision/ClientError.h"

#include "net/Http.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>

using namespace Qt::StringLiterals;

namespace VisionText {

std::optional<QString> extractMessage(const QString& text)
{
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
    if (!document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    const QJsonValue error = object.value(u"error"_s);
    if (const QJsonValue message = error.toObject().value(u"message"_s);
        error.isObject() && message.isString())
        return message.toString();
    if (const QJsonValue message = object.value(u"message"_s); message.isString())
        return message.toString();
    if (error.isString())
        return error.toString();
    return std::nullopt;
}

std::optional<QString> strictUtf8(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

ClientError fromTransport(const Net::Reply& reply)
{
    ClientError error;
    error.kind = reply.outcome == Net::Reply::Outcome::Aborted ? ClientError::Kind::Cancelled
                                                               : ClientError::Kind::Transport;
    error.status = reply.status;
    error.detail = reply.errorText;
    switch (reply.networkError) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
        error.isConnectionLost = reply.outcome == Net::Reply::Outcome::TransportError;
        break;
    default:
        break;
    }
    return error;
}

} // namespace VisionText

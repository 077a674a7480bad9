// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/ItemJson.h"

#include "common/AppSettings.h"
#include "common/VideoItem.h"
#include "core/Messages.h"
#include "vision/PromptBuilder.h"

#include <QJsonArray>

using namespace Qt::StringLiterals;

namespace {

QJsonValue optionalString(const std::optional<QString>& value)
{
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

// ".5" for 500 ms, ".25" for 250 ms; nothing for whole seconds.
QString fraction(const QDateTime& date)
{
    const int ms = date.time().msec();
    if (ms == 0)
        return {};
    QString digits = QString::number(ms).rightJustified(3, u'0');
    while (digits.endsWith(u'0'))
        digits.chop(1);
    return u'.' + digits;
}

bool isAnalyzed(const VideoItem& item)
{
    return item.status == VideoItem::Status::Analyzed || item.status == VideoItem::Status::Naming
        || item.status == VideoItem::Status::Renamed;
}

// Where the place in the name came from: the folders, the geocoder, the model's reply, or the user.
QJsonValue placeSource(const VideoItem& item)
{
    if (!isAnalyzed(item) || item.location.isEmpty())
        return QJsonValue::Null;
    if (item.pathPlace && item.location == *item.pathPlace)
        return u"folder"_s;
    if (item.geoPlace && item.location == *item.geoPlace)
        return u"geocoder"_s;
    if (PromptBuilder::parse(item.analysisText).location == item.location)
        return u"model"_s;
    return u"typed"_s;
}

} // namespace

namespace ItemJson {

QJsonObject item(const VideoItem& item)
{
    QJsonObject object;
    object.insert(u"path"_s, displayPath(item.url));
    object.insert(u"kind"_s, rawValue(item.mediaKind));
    object.insert(u"status"_s, rawValue(item.status));
    QJsonArray companions;
    for (const std::filesystem::path& companion : item.companions)
        companions.append(displayPath(companion));
    object.insert(u"companions"_s, companions);
    object.insert(
        u"creationDate"_s, item.creationDate ? QJsonValue(isoDate(*item.creationDate)) : QJsonValue());
    object.insert(u"dateSource"_s, item.creationDate ? QJsonValue(rawValue(item.dateSource)) : QJsonValue());
    object.insert(u"pathPlace"_s, optionalString(item.pathPlace));
    if (item.coordinate) {
        object.insert(u"coordinate"_s,
            QJsonObject { { u"latitude"_s, item.coordinate->latitude },
                { u"longitude"_s, item.coordinate->longitude } });
    } else {
        object.insert(u"coordinate"_s, QJsonValue::Null);
    }
    object.insert(u"geoPlace"_s, optionalString(item.geoPlace));
    object.insert(u"content"_s, item.content);
    object.insert(u"location"_s, item.location);
    object.insert(u"placeSource"_s, placeSource(item));
    object.insert(u"proposedName"_s, item.proposedName);
    // A failed item's text is why it failed, not a reply.
    const bool failed = item.status == VideoItem::Status::Error;
    QString reason = item.analysisText;
    if (reason.startsWith(Messages::ErrorPrefix))
        reason.remove(0, Messages::ErrorPrefix.size());
    object.insert(u"analysisText"_s, failed ? QString() : item.analysisText);
    object.insert(u"error"_s, failed ? QJsonValue(reason) : QJsonValue::Null);
    object.insert(u"frames"_s, item.frames.isEmpty() ? item.frameCount : int(item.frames.size()));
    if (item.montage) {
        object.insert(u"montage"_s,
            QJsonObject { { u"columns"_s, item.montage->columns }, { u"rows"_s, item.montage->rows },
                { u"frameCount"_s, item.montage->frameCount }, { u"width"_s, item.montage->width },
                { u"height"_s, item.montage->height } });
    } else {
        object.insert(u"montage"_s, QJsonValue::Null);
    }
    return object;
}

QString isoDate(const QDateTime& date)
{
    const QDateTime utc = date.toUTC();
    return utc.toString(u"yyyy-MM-dd'T'HH:mm:ss"_s) + fraction(utc) + u'Z';
}

QString localDate(const std::optional<QDateTime>& date)
{
    if (!date)
        return u"-"_s;
    const QDateTime local = date->toLocalTime();
    return local.toString(u"yyyy-MM-dd HH:mm:ss"_s) + fraction(local);
}

QString maskedKey(const QString& key)
{
    if (key.isEmpty())
        return key;
    if (key.size() <= 8)
        return QString(key.size(), u'*');
    return QString(key.size() - 4, u'*') + key.right(4);
}

QJsonObject settings(const AppSettings& s)
{
    return QJsonObject {
        { u"engine"_s, s.engineRaw },
        { u"ollamaEndpoint"_s, s.ollamaEndpoint },
        { u"ollamaModel"_s, s.ollamaModel },
        { u"openAIModel"_s, s.openAIModel },
        { u"openAIBaseURL"_s, s.openAIBaseURL },
        { u"openAIKey"_s, maskedKey(s.openAIKey) },
        { u"frameCount"_s, s.frameCount },
        { u"maxConcurrentRequests"_s, s.maxConcurrentRequests() },
        { u"ollamaKeepAlive"_s, s.ollamaKeepAlive },
        { u"includeDate"_s, s.includeDate },
        { u"includeLocation"_s, s.includeLocation },
        { u"includeContent"_s, s.includeContent },
        { u"includeOriginal"_s, s.includeOriginal },
        { u"separator"_s, s.separator },
        { u"usePathPlace"_s, s.usePathPlace },
        { u"useGPSGeocoding"_s, s.useGPSGeocoding },
        { u"mediaTarget"_s, s.mediaTargetRaw },
        { u"autoCheckUpdate"_s, s.autoCheckUpdate },
        { u"geocoderURL"_s, s.geocoderURL },
        { u"ollamaURL"_s, s.ollamaURL().toString() },
        { u"openAIURL"_s, s.openAIURL().toString() },
        { u"model"_s, s.model() },
    };
}

} // namespace ItemJson

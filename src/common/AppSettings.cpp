// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/AppSettings.h"

#include "common/SettingsStore.h"
#include "common/Text.h"

#include <QRegularExpression>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

namespace Key {
constexpr auto Engine = "engine";
constexpr auto OllamaEndpoint = "ollamaEndpoint";
constexpr auto OllamaModel = "ollamaModel";
constexpr auto OpenAIModel = "openAIModel";
constexpr auto OpenAIBaseURL = "openAIBaseURL";
constexpr auto OpenAIKey = "openAIKey";
constexpr auto FrameCount = "frameCount";
constexpr auto OllamaConcurrency = "ollamaMaxConcurrentRequests";
constexpr auto OpenAIConcurrency = "openAIMaxConcurrentRequests";
constexpr auto OllamaKeepAlive = "ollamaKeepAlive";
constexpr auto IncludeDate = "includeDate";
constexpr auto IncludeLocation = "includeLocation";
constexpr auto IncludeContent = "includeContent";
constexpr auto IncludeOriginal = "includeOriginal";
constexpr auto Separator = "separator";
constexpr auto UsePathPlace = "usePathPlace";
constexpr auto UseGPSGeocoding = "useGPSGeocoding";
constexpr auto MediaTarget = "mediaTarget";
constexpr auto AutoCheckUpdate = "autoCheckUpdate";
constexpr auto GeocoderURL = "geocoderURL";
} // namespace Key

QString key(const char* name)
{
    return QString::fromLatin1(name);
}

void loadString(const QSettings& store, const char* name, QString& field)
{
    const QVariant value = store.value(key(name));
    if (value.typeId() == QMetaType::QString)
        field = value.toString();
}

void loadBool(const QSettings& store, const char* name, bool& field)
{
    const QVariant value = store.value(key(name));
    if (value.typeId() == QMetaType::Bool)
        field = value.toBool();
}

// Like an integer read that gives 0 for anything that is not a number.
qint64 loadInteger(const QSettings& store, const char* name)
{
    const QVariant value = store.value(key(name));
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return value.toLongLong();
    case QMetaType::Double: {
        const double d = value.toDouble();
        if (!(d == d))
            return 0;
        return static_cast<qint64>(std::clamp(d, -1e15, 1e15));
    }
    default:
        return 0;
    }
}

QUrl parseUrl(const QString& text)
{
    if (text.isEmpty())
        return {};
    QUrl url(text, QUrl::StrictMode);
    return url.isValid() ? url : QUrl();
}

} // namespace

const QString AppSettings::DefaultOllamaEndpoint = u"http://localhost:11434"_s;
const QString AppSettings::DefaultOpenAIBaseURL = u"https://api.openai.com/v1"_s;
const QString AppSettings::DefaultGeocoderURL = u"https://nominatim.openstreetmap.org"_s;

QString rawValue(VisionEngine engine)
{
    return engine == VisionEngine::OpenAI ? u"openai"_s : u"ollama"_s;
}

QString displayTitle(VisionEngine engine)
{
    return engine == VisionEngine::OpenAI ? u"联网 API（OpenAI 兼容接口）"_s
                                          : u"本机 Ollama（离线，画面不出电脑）"_s;
}

QString rawValue(MediaTarget target)
{
    switch (target) {
    case MediaTarget::Photos:
        return u"photos"_s;
    case MediaTarget::Both:
        return u"both"_s;
    case MediaTarget::Videos:
        break;
    }
    return u"videos"_s;
}

QString displayTitle(MediaTarget target)
{
    switch (target) {
    case MediaTarget::Photos:
        return u"仅照片"_s;
    case MediaTarget::Both:
        return u"两者都处理"_s;
    case MediaTarget::Videos:
        break;
    }
    return u"仅视频"_s;
}

AppSettings::AppSettings()
    : AppSettings(SettingsStore::defaultPath())
{ }

AppSettings::AppSettings(const QString& storePath)
    : m_storePath(storePath)
{
    const auto store = SettingsStore::open(storePath);
    loadString(*store, Key::Engine, engineRaw);
    loadString(*store, Key::OllamaEndpoint, ollamaEndpoint);
    loadString(*store, Key::OllamaModel, ollamaModel);
    loadString(*store, Key::OpenAIModel, openAIModel);
    loadString(*store, Key::OpenAIBaseURL, openAIBaseURL);
    loadString(*store, Key::OpenAIKey, openAIKey);
    frameCount = clampFrameCount(loadInteger(*store, Key::FrameCount));
    ollamaConcurrency = clampConcurrency(loadInteger(*store, Key::OllamaConcurrency), ollamaConcurrency);
    openAIConcurrency = clampConcurrency(loadInteger(*store, Key::OpenAIConcurrency), openAIConcurrency);
    QString keepAlive;
    loadString(*store, Key::OllamaKeepAlive, keepAlive);
    if (isKeepAlive(keepAlive))
        ollamaKeepAlive = keepAlive;
    loadBool(*store, Key::IncludeDate, includeDate);
    loadBool(*store, Key::IncludeLocation, includeLocation);
    loadBool(*store, Key::IncludeContent, includeContent);
    loadBool(*store, Key::IncludeOriginal, includeOriginal);
    loadString(*store, Key::Separator, separator);
    loadBool(*store, Key::UsePathPlace, usePathPlace);
    loadBool(*store, Key::UseGPSGeocoding, useGPSGeocoding);
    loadString(*store, Key::MediaTarget, mediaTargetRaw);
    loadBool(*store, Key::AutoCheckUpdate, autoCheckUpdate);
    loadString(*store, Key::GeocoderURL, geocoderURL);
}

int AppSettings::clampFrameCount(qint64 stored)
{
    if (stored == 0)
        return 4;
    return static_cast<int>(std::clamp<qint64>(stored, 1, 6));
}

int AppSettings::clampConcurrency(qint64 stored, int fallback)
{
    if (stored == 0)
        return fallback;
    return static_cast<int>(std::clamp<qint64>(stored, 1, MaxConcurrentRequests));
}

bool AppSettings::isKeepAlive(const QString& text)
{
    // Go's duration syntax, or a bare number of seconds; negative keeps the model loaded for good.
    static const QRegularExpression pattern(u"^-?(\\d+|(\\d+(\\.\\d+)?(h|m|s|ms|us|ns))+)$"_s);
    return pattern.match(text).hasMatch();
}

int AppSettings::maxConcurrentRequests() const
{
    return engine() == VisionEngine::OpenAI ? openAIConcurrency : ollamaConcurrency;
}

void AppSettings::setMaxConcurrentRequests(int count)
{
    (engine() == VisionEngine::OpenAI ? openAIConcurrency : ollamaConcurrency)
        = std::clamp(count, 1, MaxConcurrentRequests);
}

bool AppSettings::persist() const
{
    const auto store = SettingsStore::open(m_storePath);
    store->setValue(key(Key::Engine), engineRaw);
    store->setValue(key(Key::OllamaEndpoint), ollamaEndpoint);
    store->setValue(key(Key::OllamaModel), ollamaModel);
    store->setValue(key(Key::OpenAIModel), openAIModel);
    store->setValue(key(Key::OpenAIBaseURL), openAIBaseURL);
    store->setValue(key(Key::OpenAIKey), openAIKey);
    store->setValue(key(Key::FrameCount), frameCount);
    store->setValue(key(Key::OllamaConcurrency), std::clamp(ollamaConcurrency, 1, MaxConcurrentRequests));
    store->setValue(key(Key::OpenAIConcurrency), std::clamp(openAIConcurrency, 1, MaxConcurrentRequests));
    if (isKeepAlive(ollamaKeepAlive))
        store->setValue(key(Key::OllamaKeepAlive), ollamaKeepAlive);
    store->setValue(key(Key::IncludeDate), includeDate);
    store->setValue(key(Key::IncludeLocation), includeLocation);
    store->setValue(key(Key::IncludeContent), includeContent);
    store->setValue(key(Key::IncludeOriginal), includeOriginal);
    store->setValue(key(Key::Separator), separator);
    store->setValue(key(Key::UsePathPlace), usePathPlace);
    store->setValue(key(Key::UseGPSGeocoding), useGPSGeocoding);
    store->setValue(key(Key::MediaTarget), mediaTargetRaw);
    store->setValue(key(Key::AutoCheckUpdate), autoCheckUpdate);
    store->setValue(key(Key::GeocoderURL), geocoderURL);
    return SettingsStore::sync(*store);
}

QUrl AppSettings::ollamaURL() const
{
    const QUrl url = parseUrl(Text::trimHorizontalSpace(ollamaEndpoint));
    return url.isEmpty() ? QUrl(DefaultOllamaEndpoint) : url;
}

QUrl AppSettings::openAIURL() const
{
    QString text = Text::trimHorizontalSpace(openAIBaseURL);
    if (text.endsWith(u'/'))
        text.chop(1);
    const QUrl url = parseUrl(text);
    return url.isEmpty() ? QUrl(DefaultOpenAIBaseURL) : url;
}

VisionEngine AppSettings::engine() const
{
    return engineRaw == u"openai" ? VisionEngine::OpenAI : VisionEngine::Ollama;
}

MediaTarget AppSettings::mediaTarget() const
{
    if (mediaTargetRaw == u"photos")
        return MediaTarget::Photos;
    if (mediaTargetRaw == u"both")
        return MediaTarget::Both;
    return MediaTarget::Videos;
}

QString AppSettings::model() const
{
    return engine() == VisionEngine::OpenAI ? openAIModel : ollamaModel;
}

void AppSettings::setModel(const QString& name)
{
    (engine() == VisionEngine::OpenAI ? openAIModel : ollamaModel) = name;
}

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QUrl>

enum class VisionEngine
{
    Ollama,
    OpenAI,
};

enum class MediaTarget
{
    Videos,
    Photos,
    Both,
};

// Raw values as stored ("ollama", "openai"; "videos", "photos", "both") and the titles every window shows.
QString rawValue(VisionEngine engine);
QString displayTitle(VisionEngine engine);
QString rawValue(MediaTarget target);
QString displayTitle(MediaTarget target);

// Every user preference. One instance, owned by AppModel on the main thread; loaded from the store when
// created and written back only by persist(). Fields are public: windows edit them and then persist().
class AppSettings
{
public:
    static const QString DefaultOllamaEndpoint;
    static const QString DefaultOpenAIBaseURL;
    static const QString DefaultGeocoderURL;

    // Loads from the JSON store at storePath; missing or ill-typed keys load their defaults.
    explicit AppSettings(const QString& storePath);
    AppSettings();

    // Writes every field. False when the store could not be written.
    bool persist() const;

    QString storePath() const
    {
        return m_storePath;
    }

    // Normalised base URLs; the stored text stays as typed.
    QUrl ollamaURL() const;
    QUrl openAIURL() const;

    VisionEngine engine() const;
    MediaTarget mediaTarget() const;

    // The model name of the selected engine.
    QString model() const;
    void setModel(const QString& name);

    // The mapping applied to a loaded frame count: 0 gives 4, otherwise clamped to 1..6.
    static int clampFrameCount(qint64 stored);

    // How many model requests a run keeps in flight, for the selected engine: each engine keeps its own
    // (a local server and a GPU box want different numbers), 1..MaxConcurrentRequests.
    static constexpr int MaxConcurrentRequests = 32;
    int maxConcurrentRequests() const;
    void setMaxConcurrentRequests(int count);
    // The mapping applied to a loaded count: 0 (missing or no number) gives fallback, else clamped.
    static int clampConcurrency(qint64 stored, int fallback);
    // A duration the local server understands ("30m", "1h30m", "-1", "3600"), else nothing.
    static bool isKeepAlive(const QString& text);

    QString engineRaw = QStringLiteral("ollama");
    QString ollamaEndpoint = DefaultOllamaEndpoint;
    QString ollamaModel = QStringLiteral("qwen2.5vl:7b");
    QString openAIModel = QStringLiteral("qwen-vl-max");
    QString openAIBaseURL = DefaultOpenAIBaseURL;
    QString openAIKey;
    int frameCount = 4;
    int ollamaConcurrency = 1; // the local server's own default (OLLAMA_NUM_PARALLEL)
    int openAIConcurrency = 4;
    // How long the local server keeps the model loaded after a request.
    QString ollamaKeepAlive = QStringLiteral("30m");
    bool includeDate = true;
    bool includeLocation = true;
    bool includeContent = true;
    bool includeOriginal = true;
    QString separator = QStringLiteral("_");
    bool usePathPlace = true;
    bool useGPSGeocoding = false;
    QString mediaTargetRaw = QStringLiteral("videos");
    bool autoCheckUpdate = true;
    // The Nominatim-compatible reverse-geocoding service.
    QString geocoderURL = DefaultGeocoderURL;

private:
    QString m_storePath;
};

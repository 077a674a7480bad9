// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/GeoCoordinate.h"
#include "common/MediaKind.h"
#include "common/Montage.h"
#include "core/RunHost.h"
#include "net/Http.h"
#include "vision/OllamaClient.h"
#include "vision/OpenAICompatClient.h"

#include <QByteArrayList>
#include <QElapsedTimer>
#include <QFuture>
#include <QList>
#include <QObject>
#include <QUuid>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

// One analysis run over the work list: a chain of steps on the main thread, one item at a time and one
// model request in flight. Decoding runs on the media pool; while the model answers for one item, the
// next item's pictures are prepared, without changing what the user sees or in which order. Owned by
// the work list, which it reaches only through its RunHost; destroying it drops every pending step and
// aborts the request in flight.
class AnalysisRun : public QObject
{
    Q_OBJECT

public:
    // Everything a run fixes when it starts.
    struct Setup
    {
        OllamaClient local;
        OpenAICompatClient online;
        bool useOnline = false;
        int frameCount = 4;
        QList<QUuid> ids;
        // Prepare the next item's pictures while the model answers (off only to measure the difference).
        bool prepareAhead = true;
        // Where prepared pictures are written for the work list's picture cache; empty: not written.
        std::filesystem::path cacheFolder;
    };

    // What the media pool makes of one file: the pictures to send, the grid, the GPS position.
    struct Prepared
    {
        QByteArrayList frames;
        std::optional<Montage> montage;
        std::optional<GeoCoordinate> coordinate;
        QByteArray thumbnail; // of the first picture, for the list
        std::filesystem::path cacheFile; // the pictures, written for the picture cache
        QString failure; // the item's error text when nothing could be decoded
    };

    AnalysisRun(std::unique_ptr<RunHost> host, Setup setup, std::function<void()> finished);
    ~AnalysisRun() override;

    void start();
    // Ends the run at once: the request in flight is aborted and its item goes back to pending.
    void stop();

    // Decodes one file; pure, runs on any thread.
    static Prepared prepare(const std::filesystem::path& path,
        MediaKind kind,
        int frameCount,
        const std::filesystem::path& cacheFolder = {});

private:
    struct Prefetch
    {
        qsizetype position = -1;
        std::filesystem::path path;
        MediaKind kind = MediaKind::Video;
        QFuture<Prepared> future;
    };

    void next();
    void analyse(qsizetype position, const QUuid& id, const Prepared& prepared);
    void store(const QUuid& id,
        const Prepared& prepared,
        const QString& reply,
        const QString& content,
        const QString& placeGuess,
        const std::optional<QString>& geoPlace);
    void fail(const QUuid& id, const QString& text);
    void advance();
    void prefetchAfter(qsizetype position);
    void finish(bool stopped);
    QFuture<Prepared> prepareAsync(const std::filesystem::path& path, MediaKind kind) const;

    std::unique_ptr<RunHost> m_host;
    RunHost& m_model;
    Setup m_setup;
    std::function<void()> m_finished;
    qsizetype m_listSize = 0; // at the start, to tell whether items came or went
    QElapsedTimer m_clock;
    qsizetype m_position = 0;
    qsizetype m_successes = 0;
    std::optional<QUuid> m_current; // the item being worked on
    bool m_stopped = false;
    std::optional<Prefetch> m_prefetch;
    Net::Handle m_request;
    qint64 m_replyMs = 0; // how long the model took for the item being stored
};

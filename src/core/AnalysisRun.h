// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/GeoCoordinate.h"
#include "common/MediaKind.h"
#include "common/Montage.h"
#include "core/RequestPacer.h"
#include "core/RunHost.h"
#include "net/Http.h"
#include "vision/OllamaClient.h"
#include "vision/OpenAICompatClient.h"

#include <QByteArrayList>
#include <QElapsedTimer>
#include <QFuture>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTimer>
#include <QUuid>

#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>

// One analysis run over the work list, a pipeline of steps on the main thread: pictures are prepared on
// the media pool a bounded number of items ahead, up to Setup::maxConcurrentRequests model requests are
// in flight (fewer while the server pushes back, see RequestPacer), and results are stored as they
// arrive, in any order. Owned by the work list, which it reaches only through its RunHost; destroying
// it drops every pending step and aborts every request in flight.
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
        // Prepare the next items' pictures while the model answers (off only to measure the difference).
        bool prepareAhead = true;
        // Where prepared pictures are written for the work list's picture cache; empty: not written.
        std::filesystem::path cacheFolder;
        int maxConcurrentRequests = 1;
        // Retries of one item after the server pushed back, and the longest wait the run accepts.
        int maxRetries = 5;
        qint64 maxWaitMs = 120'000;
        // The first backoff when the server gives no wait of its own; doubles with each retry.
        qint64 backoffBaseMs = 1000;
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
    // Ends the run at once: every request in flight is aborted and its item goes back to pending.
    void stop();

    // Decodes one file; pure, runs on any thread.
    static Prepared prepare(const std::filesystem::path& path,
        MediaKind kind,
        int frameCount,
        const std::filesystem::path& cacheFolder = {});

private:
    // One item on its way through the pipeline.
    struct Job
    {
        QUuid id;
        qsizetype order = 0; // items go to the model in the list's order the first time
        QString name; // of the file, for the status line
        Prepared prepared;
        int attempts = 0; // requests sent so far
        qint64 notBeforeMs = 0; // on the run's clock: when a retry may go out
        int round = 0; // the pacer's round it was sent in
        qint64 sentAtMs = 0;
        qint64 tookMs = 0; // how long the model took for the answer stored
        int slot = -1;
        Net::Handle request;
    };

    void pump();
    void claimNext();
    void prepared(const QUuid& id, qsizetype order, const Prepared& result);
    // The item of this order leaves the queue of items to send: sent, failed or gone.
    void release(qsizetype order);
    void send(Job job);
    // The model's answer for the item in slot: its reply text, or the error and its text for the user.
    void answered(
        int slot, const std::optional<QString>& reply, const ClientError& error, const QString& message);
    void retryLater(Job job, const ClientError& error, const QString& message);
    void store(const Job& job,
        const QString& reply,
        const QString& content,
        const QString& placeGuess,
        const std::optional<QString>& geoPlace);
    void fail(const Job& job, const QString& text);
    void finishItem(bool succeeded);
    void showProgress();
    // Marks the item as being analysed (once): its row reads 分析中 from now on.
    void markAnalyzing(const QUuid& id);
    void finish(bool stopped);
    QFuture<Prepared> prepareAsync(const std::filesystem::path& path, MediaKind kind) const;

    std::unique_ptr<RunHost> m_host;
    RunHost& m_model;
    Setup m_setup;
    std::function<void()> m_finished;
    qsizetype m_listSize = 0; // at the start, to tell whether items came or went
    QElapsedTimer m_clock;
    RequestPacer m_pacer;
    qsizetype m_nextPosition = 0; // the next id to take into the pipeline
    int m_preparing = 0;
    int m_uploading = 0; // requests whose body is still on its way: nothing is decoded beside them
    int m_storing = 0; // answers waiting for their place name
    std::deque<Job> m_ready; // prepared, waiting for a free slot (retries first, then in order)
    std::set<qsizetype> m_unsent; // the order of every item taken in and not yet sent or dropped
    QHash<qsizetype, int> m_skippedBefore; // renamed or removed items passed over before an order
    QHash<int, Job> m_inFlight; // by slot
    QList<QUuid> m_marked; // items this run shows as being analysed
    qsizetype m_finishedItems = 0;
    qsizetype m_successes = 0;
    std::deque<qint64> m_recentFinishes; // the clock at each item finished within the last minute
    QString m_lastName;
    QTimer m_retryTimer;
    bool m_progressChanged = false; // the status line is shown again when the pump ends
    bool m_stopped = false;
    bool m_ended = false;
};

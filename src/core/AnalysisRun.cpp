// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/AnalysisRun.h"

#include "core/Messages.h"
#include "core/PictureCache.h"
#include "decoder/DecoderPool.h"
#include "decoder/Messages.h"
#include "naming/NameBuilder.h"
#include "naming/PlaceResolver.h"
#include "vision/PromptBuilder.h"

#include <QFutureWatcher>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr int PhotoMaxSize = 1280;
constexpr double MontageQuality = 0.8;

// Decoding has a pool of its own, so the global pool stays free for the import's date reading.
QThreadPool& mediaPool()
{
    static QThreadPool pool;
    static const bool configured = [] {
        pool.setMaxThreadCount(2);
        return true;
    }();
    Q_UNUSED(configured);
    return pool;
}

// Decoding is background work: it yields the processor to the event loop and the network thread, so
// that the request for one item goes out at full speed while the next item is decoded beside it.
void yieldToInteractiveWork()
{
    thread_local const bool lowered = [] {
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
        return true;
    }();
    Q_UNUSED(lowered);
}

QString fileName(const std::filesystem::path& path)
{
    return displayFileName(path);
}

// Qt's manager opens at most six connections to one host; each lane has a manager of its own.
constexpr int ConnectionsPerLane = 6;
constexpr qint64 ThroughputWindowMs = 60'000;

// Answers that say "not now": the request may go again, after a wait.
bool isPushback(const ClientError& error)
{
    if (error.kind == ClientError::Kind::Transport)
        return error.isConnectionLost;
    return error.kind == ClientError::Kind::Http && !error.isFinal
        && (error.status == 429 || error.status == 503);
}

// A balancer whose back-end vanished answers 502 or 504; another back-end can take the request.
bool isGatewayFailure(const ClientError& error)
{
    return error.kind == ClientError::Kind::Http && (error.status == 502 || error.status == 504);
}

} // namespace

AnalysisRun::AnalysisRun(std::unique_ptr<RunHost> host, Setup setup, std::function<void()> finished)
    : m_host(std::move(host))
    , m_model(*m_host)
    , m_setup(std::move(setup))
    , m_finished(std::move(finished))
    , m_listSize(m_model.itemCount())
    , m_pacer(std::clamp(m_setup.maxConcurrentRequests, 1, AppSettings::MaxConcurrentRequests))
{
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &AnalysisRun::pump);
}

AnalysisRun::~AnalysisRun()
{
    for (const Job& job : std::as_const(m_inFlight))
        job.request.abort();
}

void AnalysisRun::start()
{
    m_clock.start();
    // The run's steps begin on the event loop: analyzeAll() returns first.
    QTimer::singleShot(0, this, &AnalysisRun::pump);
}

AnalysisRun::Prepared AnalysisRun::prepare(const std::filesystem::path& path,
    MediaKind kind,
    int frameCount,
    const std::filesystem::path& cacheFolder)
{
    // In a worker process: a file that crashes or hangs a decoder costs only its own item.
    Decoded decoded = DecoderPool::shared().decode(
        { path, kind, frameCount, PhotoMaxSize, MontageQuality, false, VideoItem::ThumbnailEdge });
    Prepared prepared;
    if (decoded.frames.isEmpty()) {
        // A file deleted or moved since it was listed is not a decoding problem; say what happened.
        std::error_code error;
        if (!std::filesystem::exists(path, error) && !error) {
            prepared.failure = Messages::FileGone;
            return prepared;
        }
        prepared.failure = !DecoderPool::shared().isIsolated() ? DecoderMessages::WorkerMissing
            : kind == MediaKind::Video                         ? Messages::NoFrames
                                                               : Messages::UnreadablePhoto;
        return prepared;
    }
    if (decoded.isNearlyFlat) {
        prepared.failure = Messages::FlatPicture;
        return prepared;
    }
    prepared.frames = std::move(decoded.frames);
    prepared.montage = std::move(decoded.montage);
    prepared.coordinate = decoded.coordinate;
    prepared.thumbnail = std::move(decoded.thumbnail);
    // Here rather than when the answer is stored: a write may wait for the disk, the event loop must not.
    prepared.cacheFile = PictureCache::writeFile(
        cacheFolder, { prepared.frames, prepared.montage ? prepared.montage->jpeg : QByteArray() });
    return prepared;
}

QFuture<AnalysisRun::Prepared> AnalysisRun::prepareAsync(
    const std::filesystem::path& path, MediaKind kind) const
{
    return QtConcurrent::run(
        &mediaPool(), [path, kind, frameCount = m_setup.frameCount, cacheFolder = m_setup.cacheFolder] {
            yieldToInteractiveWork();
            return prepare(path, kind, frameCount, cacheFolder);
        });
}

void AnalysisRun::stop()
{
    if (m_stopped || m_ended)
        return;
    m_stopped = true;
    m_retryTimer.stop();
    // Their answers, arriving later, are ignored.
    for (const Job& job : std::as_const(m_inFlight))
        job.request.abort();
    for (const Job& job : m_ready)
        PictureCache::discard(job.prepared.cacheFile);
    m_ready.clear();
    for (const QUuid& id : std::as_const(m_marked)) {
        m_model.mutateItem(id, [](VideoItem& item) {
            if (item.status == VideoItem::Status::Analyzing)
                item.status = VideoItem::Status::Pending;
        });
    }
    finish(true);
}

void AnalysisRun::pump()
{
    if (m_stopped || m_ended)
        return;
    const qint64 now = m_clock.elapsed();
    // Send what is ready while the server takes more; a retry waits for its time, the others pass it.
    std::optional<qint64> nextRetry;
    for (auto it = m_ready.begin(); it != m_ready.end() && m_inFlight.size() < m_pacer.limit() && !m_ended;) {
        if (it->notBeforeMs > now) {
            nextRetry = nextRetry ? std::min(*nextRetry, it->notBeforeMs) : it->notBeforeMs;
            ++it;
            continue;
        }
        // A photo decodes faster than a clip before it; it waits, so the list is analysed in order.
        if (it->attempts == 0 && it->order != *m_unsent.begin())
            break;
        Job job = std::move(*it);
        it = m_ready.erase(it);
        send(std::move(job));
    }
    if (nextRetry)
        m_retryTimer.start(std::chrono::milliseconds(std::max<qint64>(0, *nextRetry - now)));

    // Prepare as many as the free slots need, and with preparation ahead as many again for the slots
    // that free up next; beside an upload only what a free slot waits for.
    const qsizetype pipeline = m_inFlight.size() + qsizetype(m_ready.size()) + m_preparing;
    const qsizetype needed = m_pacer.limit() - pipeline;
    const qsizetype ahead = m_setup.prepareAhead && m_uploading == 0 ? m_pacer.limit() : 0;
    for (qsizetype k = 0; k < needed + ahead && m_nextPosition < m_setup.ids.size() && !m_ended; ++k)
        claimNext();
    if (m_ended)
        return;

    if (m_nextPosition >= m_setup.ids.size() && m_preparing == 0 && m_ready.empty() && m_inFlight.isEmpty()
        && m_storing == 0) {
        finish(false);
        return;
    }
    if (std::exchange(m_progressChanged, false))
        showProgress();
}

void AnalysisRun::claimNext()
{
    // Items removed from the list or already renamed are passed over without a word.
    // They count as finished when the next item goes out, so the counter moves in the list's order.
    std::optional<VideoItem> snapshot;
    int skipped = 0;
    while (m_nextPosition < m_setup.ids.size()) {
        snapshot = m_model.itemSnapshot(m_setup.ids.at(m_nextPosition++));
        if (snapshot && snapshot->status != VideoItem::Status::Renamed)
            break;
        snapshot.reset();
        ++skipped;
    }
    if (!snapshot) {
        for (; skipped > 0; --skipped)
            finishItem(false);
        return;
    }
    const QUuid id = snapshot->id;
    const qsizetype order = m_nextPosition;
    m_unsent.insert(order);
    if (skipped > 0)
        m_skippedBefore.insert(order, skipped);
    // Nothing else is under way: this item is what the run waits for, and the user sees it so.
    if (m_inFlight.isEmpty() && m_ready.empty() && m_preparing == 0) {
        m_lastName = fileName(snapshot->url);
        markAnalyzing(id);
        m_progressChanged = true;
    }
    ++m_preparing;
    // A watcher owned by the run rather than QFuture::then(context): Qt 6.4 asserts (and in release
    // builds misbehaves) when the context of a continuation dies before the future finishes, which is
    // exactly what a shutdown during decoding does.
    auto* watcher = new QFutureWatcher<Prepared>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, id, order] {
        watcher->deleteLater();
        --m_preparing;
        prepared(id, order, watcher->result());
    });
    watcher->setFuture(prepareAsync(snapshot->url, snapshot->mediaKind));
}

void AnalysisRun::prepared(const QUuid& id, qsizetype order, const Prepared& result)
{
    if (m_stopped || m_ended) {
        PictureCache::discard(result.cacheFile);
        return;
    }
    const std::optional<VideoItem> snapshot = m_model.itemSnapshot(id);
    if (!result.failure.isEmpty() || !snapshot)
        release(order);
    if (!result.failure.isEmpty()) {
        Job job;
        job.id = id;
        job.prepared = result;
        fail(job, result.failure);
        return;
    }
    // Removed while its pictures were decoded: there is nothing left to store the answer in.
    if (!snapshot) {
        PictureCache::discard(result.cacheFile);
        finishItem(false);
        pump();
        return;
    }
    Job job;
    job.id = id;
    job.order = order;
    job.name = fileName(snapshot->url);
    job.prepared = result;
    const auto later = std::find_if(
        m_ready.begin(), m_ready.end(), [order](const Job& j) { return j.attempts == 0 && j.order > order; });
    m_ready.insert(later, std::move(job));
    pump();
}

void AnalysisRun::release(qsizetype order)
{
    if (m_unsent.erase(order) == 0)
        return;
    for (int k = m_skippedBefore.take(order); k > 0; --k)
        finishItem(false);
}

void AnalysisRun::send(Job job)
{
    release(job.order);
    const std::optional<VideoItem> snapshot = m_model.itemSnapshot(job.id);
    if (!snapshot) {
        PictureCache::discard(job.prepared.cacheFile);
        finishItem(false);
        return;
    }
    int slot = 0;
    while (m_inFlight.contains(slot))
        ++slot;
    const bool isFirstAttempt = job.attempts == 0;
    const Prepared& prepared = job.prepared;
    const int columns = prepared.montage ? prepared.montage->columns : 1;
    const int rows = prepared.montage ? prepared.montage->rows : 1;
    const QString prompt = PromptBuilder::build(columns, rows, snapshot->mediaKind);
    const QByteArrayList images
        = prepared.montage ? QByteArrayList { prepared.montage->jpeg } : prepared.frames;
    const int lane = slot / ConnectionsPerLane;

    ++job.attempts;
    job.round = m_pacer.sent();
    job.sentAtMs = m_clock.elapsed();
    job.slot = slot;
    if (m_setup.useOnline) {
        job.request = m_setup.online.analyze(
            images, prompt, this,
            [this, slot](const OpenAICompatClient::Result<QString>& r) {
                r ? answered(slot, *r, {}, {}) : answered(slot, std::nullopt, r.error(), r.error().message());
            },
            lane);
    } else {
        job.request = m_setup.local.analyze(
            images, prompt, this,
            [this, slot](const OllamaClient::Result<QString>& r) {
                r ? answered(slot, *r, {}, {}) : answered(slot, std::nullopt, r.error(), r.error().message());
            },
            lane);
    }
    // The model takes its time; meanwhile the next items' pictures get ready. Only once the pictures
    // are on their way: decoding beside the upload would slow it down.
    ++m_uploading;
    job.request.whenSent(this, [this] {
        --m_uploading;
        pump();
    });
    const QUuid id = job.id;
    m_inFlight.insert(slot, std::move(job));
    // Last: a view that stops the run when the row changes finds the request where stop() aborts it.
    if (isFirstAttempt) {
        m_lastName = m_inFlight.value(slot).name;
        m_progressChanged = true;
        markAnalyzing(id);
    }
}

void AnalysisRun::answered(
    int slot, const std::optional<QString>& reply, const ClientError& error, const QString& message)
{
    if (m_stopped || m_ended || !m_inFlight.contains(slot))
        return;
    Job job = m_inFlight.take(slot);
    const qint64 latency = m_clock.elapsed() - job.sentAtMs;
    if (!reply) {
        const bool pushedBack = isPushback(error);
        m_pacer.answered(
            job.round, pushedBack ? RequestPacer::Answer::PushedBack : RequestPacer::Answer::Failed, latency);
        if (pushedBack || isGatewayFailure(error))
            retryLater(std::move(job), error, message);
        else
            fail(job, Messages::ErrorPrefix + message);
        return;
    }
    m_pacer.answered(job.round, RequestPacer::Answer::Served, latency);
    const QString text = *reply;
    const PromptBuilder::Reply parsed = PromptBuilder::parse(text);
    // Read when the item gets here: a change made during the run counts from the next item on.
    const AppSettings& settings = m_model.settings();
    job.tookMs = latency;
    if (!settings.useGPSGeocoding || !job.prepared.coordinate) {
        store(job, text, parsed.content, parsed.location, std::nullopt);
        return;
    }
    ++m_storing;
    PlaceResolver::reverseGeocode(*job.prepared.coordinate, settings.geocoderURL, this,
        [this, job, text, parsed](const std::optional<QString>& place) {
            --m_storing;
            if (!m_stopped && !m_ended)
                store(job, text, parsed.content, parsed.location, place);
        });
    pump();
}

void AnalysisRun::retryLater(Job job, const ClientError& error, const QString& message)
{
    // A server that asks for more than the run will wait, or that keeps refusing, ends the item with
    // its own words.
    if (job.attempts > m_setup.maxRetries
        || (error.retryAfterMs && *error.retryAfterMs > m_setup.maxWaitMs)) {
        fail(job, Messages::ErrorPrefix + message);
        return;
    }
    const qint64 wait
        = error.retryAfterMs.value_or(RequestPacer::backoffMs(job.attempts, m_setup.backoffBaseMs));
    job.notBeforeMs = m_clock.elapsed() + wait;
    job.request = Net::Handle();
    // Before the items that have not been sent yet, so that the list still finishes roughly in order.
    auto firstFresh
        = std::find_if(m_ready.begin(), m_ready.end(), [](const Job& j) { return j.attempts == 0; });
    m_ready.insert(firstFresh, std::move(job));
    m_model.showStatus(Messages::serverBusy((wait + 999) / 1000));
    pump();
}

void AnalysisRun::store(const Job& job,
    const QString& reply,
    const QString& content,
    const QString& placeGuess,
    const std::optional<QString>& geoPlace)
{
    const Prepared& prepared = job.prepared;
    const AppSettings& settings = m_model.settings();
    const bool found = m_model.mutateItem(job.id, [&](VideoItem& item) {
        item.frames = prepared.frames;
        item.montage = prepared.montage;
        item.frameCount = int(prepared.frames.size());
        item.thumbnail = prepared.thumbnail;
        m_model.adoptPictures(item, prepared.cacheFile);
        // What the user typed stays; the new reply still shows in the raw-reply view.
        if (!item.contentByHand)
            item.content = content;
        item.coordinate = prepared.coordinate;
        if (geoPlace)
            item.geoPlace = geoPlace;
        if (!item.locationByHand) {
            if (item.pathPlace && !item.pathPlace->isEmpty())
                item.location = *item.pathPlace;
            else if (item.geoPlace && !item.geoPlace->isEmpty())
                item.location = *item.geoPlace;
            else
                item.location = placeGuess;
        }
        item.analysisText = reply;
        if (!item.nameByHand)
            item.proposedName = NameBuilder::build(item, settings);
        item.hasTypedName = item.contentByHand || item.locationByHand || item.nameByHand;
        item.analysedWith = VideoItem::AnalysisStamp { m_setup.useOnline ? QStringLiteral("openai")
                                                                         : QStringLiteral("ollama"),
            m_setup.useOnline ? m_setup.online.model() : m_setup.local.model(), m_setup.frameCount,
            PromptBuilder::Version, job.tookMs, QDateTime::currentDateTimeUtc() };
        item.status = VideoItem::Status::Analyzed;
    });
    if (!found)
        PictureCache::discard(prepared.cacheFile);
    finishItem(found);
    pump();
}

void AnalysisRun::fail(const Job& job, const QString& text)
{
    PictureCache::discard(job.prepared.cacheFile);
    m_model.mutateItem(job.id, [&](VideoItem& item) {
        item.status = VideoItem::Status::Error;
        item.analysisText = text;
    });
    finishItem(false);
    pump();
}

void AnalysisRun::finishItem(bool succeeded)
{
    ++m_finishedItems;
    // With nothing else in flight, the next item's start shows the count (and its name) soon enough.
    m_progressChanged = m_progressChanged || !m_inFlight.isEmpty();
    if (!succeeded)
        return;
    ++m_successes;
    const qint64 now = m_clock.elapsed();
    m_recentFinishes.push_back(now);
    while (m_recentFinishes.front() < now - ThroughputWindowMs)
        m_recentFinishes.pop_front();
}

void AnalysisRun::showProgress()
{
    if (m_finishedItems >= m_setup.ids.size())
        return;
    // Seconds per item from the last minute's throughput: with several requests in flight, one
    // item's own time says little about how fast the list goes.
    std::optional<double> average;
    if (!m_recentFinishes.empty()) {
        const double window = double(std::min(m_clock.elapsed(), ThroughputWindowMs)) / 1000.0;
        average = window / double(m_recentFinishes.size());
    }
    m_model.showStatus(Messages::progress(m_finishedItems, m_setup.ids.size(), m_lastName, average));
}

void AnalysisRun::markAnalyzing(const QUuid& id)
{
    if (m_marked.contains(id))
        return;
    m_marked.append(id);
    const bool usePathPlace = m_model.settings().usePathPlace;
    m_model.mutateItem(id, [&](VideoItem& item) {
        item.status = VideoItem::Status::Analyzing;
        if (usePathPlace && !item.pathPlace) {
            item.pathPlace = PlaceResolver::fromPath(
                item.url, PlaceResolver::FolderDepth, PlaceResolver::systemLimits(item.addedFolder));
        }
    });
}

void AnalysisRun::finish(bool stopped)
{
    m_ended = true;
    const bool listChanged = m_model.itemCount() != m_listSize;
    const double elapsed = m_clock.nsecsElapsed() / 1e9;
    const qsizetype total = m_setup.ids.size();
    m_model.showStatus(stopped ? Messages::analysisStopped(m_successes, total, elapsed, listChanged)
                               : Messages::analysisFinished(m_successes, total, elapsed, listChanged));
    m_finished();
}

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

constexpr int PathPlaceDepth = 6;
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

} // namespace

AnalysisRun::AnalysisRun(std::unique_ptr<RunHost> host, Setup setup, std::function<void()> finished)
    : m_host(std::move(host))
    , m_model(*m_host)
    , m_setup(std::move(setup))
    , m_finished(std::move(finished))
    , m_listSize(m_model.itemCount())
{ }

AnalysisRun::~AnalysisRun()
{
    m_request.abort();
}

void AnalysisRun::start()
{
    m_clock.start();
    // The run's steps begin on the event loop: analyzeAll() returns first.
    QTimer::singleShot(0, this, &AnalysisRun::next);
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
    if (m_stopped)
        return;
    m_stopped = true;
    m_request.abort(); // its answer, arriving later, is ignored
    if (m_current) {
        m_model.mutateItem(*m_current, [](VideoItem& item) {
            if (item.status == VideoItem::Status::Analyzing)
                item.status = VideoItem::Status::Pending;
        });
    }
    m_current.reset();
    finish(true);
}

void AnalysisRun::next()
{
    if (m_stopped)
        return;
    const qsizetype total = m_setup.ids.size();
    // Items removed from the list or already renamed are passed over without a word.
    std::optional<VideoItem> snapshot;
    while (m_position < total) {
        snapshot = m_model.itemSnapshot(m_setup.ids.at(m_position));
        if (snapshot && snapshot->status != VideoItem::Status::Renamed)
            break;
        ++m_position;
    }
    if (m_position >= total) {
        finish(false);
        return;
    }

    const qsizetype position = m_position;
    const QUuid id = snapshot->id;
    m_current = id;
    const std::optional<double> average = m_successes > 0
        ? std::optional<double>(m_clock.nsecsElapsed() / 1e9 / double(m_successes))
        : std::nullopt;
    const bool usePathPlace = m_model.settings().usePathPlace;
    m_model.showStatus(Messages::progress(position, total, fileName(snapshot->url), average));
    m_model.mutateItem(id, [&](VideoItem& item) {
        item.status = VideoItem::Status::Analyzing;
        if (usePathPlace && !item.pathPlace) {
            item.pathPlace = PlaceResolver::fromPath(
                item.url, PathPlaceDepth, PlaceResolver::systemLimits(item.addedFolder));
        }
    });

    QFuture<Prepared> future;
    if (m_prefetch && m_prefetch->position == position && m_prefetch->path == snapshot->url
        && m_prefetch->kind == snapshot->mediaKind) {
        future = m_prefetch->future;
    } else {
        future = prepareAsync(snapshot->url, snapshot->mediaKind);
    }
    m_prefetch.reset();
    // A watcher owned by the run rather than QFuture::then(context): Qt 6.4 asserts (and in release
    // builds misbehaves) when the context of a continuation dies before the future finishes, which is
    // exactly what a shutdown during decoding does.
    auto* watcher = new QFutureWatcher<Prepared>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, position, id] {
        watcher->deleteLater();
        const Prepared prepared = watcher->result();
        if (m_stopped) {
            PictureCache::discard(prepared.cacheFile);
            return;
        }
        analyse(position, id, prepared);
    });
    watcher->setFuture(future);
}

void AnalysisRun::analyse(qsizetype position, const QUuid& id, const Prepared& prepared)
{
    if (!prepared.failure.isEmpty()) {
        fail(id, prepared.failure);
        return;
    }
    // Removed while its pictures were decoded: there is nothing left to store the answer in.
    const std::optional<VideoItem> snapshot = m_model.itemSnapshot(id);
    if (!snapshot) {
        PictureCache::discard(prepared.cacheFile);
        advance();
        return;
    }
    const MediaKind kind = snapshot->mediaKind;
    const int columns = prepared.montage ? prepared.montage->columns : 1;
    const int rows = prepared.montage ? prepared.montage->rows : 1;
    const QString prompt = PromptBuilder::build(columns, rows, kind);
    const QByteArrayList images
        = prepared.montage ? QByteArrayList { prepared.montage->jpeg } : prepared.frames;

    auto onReply = [this, id, prepared, sentAt = m_clock.elapsed()](const QString& reply) {
        if (m_stopped)
            return;
        m_request = Net::Handle();
        m_replyMs = m_clock.elapsed() - sentAt;
        const PromptBuilder::Reply parsed = PromptBuilder::parse(reply);
        // Read when the item gets here: a change made during the run counts from the next item on.
        const AppSettings& settings = m_model.settings();
        if (!settings.useGPSGeocoding || !prepared.coordinate) {
            store(id, prepared, reply, parsed.content, parsed.location, std::nullopt);
            return;
        }
        PlaceResolver::reverseGeocode(*prepared.coordinate, settings.geocoderURL, this,
            [this, id, prepared, reply, parsed](const std::optional<QString>& place) {
                if (!m_stopped)
                    store(id, prepared, reply, parsed.content, parsed.location, place);
            });
    };
    auto onError = [this, id, file = prepared.cacheFile](const QString& message) {
        PictureCache::discard(file);
        if (!m_stopped)
            fail(id, Messages::ErrorPrefix + message);
    };
    if (m_setup.useOnline) {
        m_request
            = m_setup.online.analyze(images, prompt, this, [=](const OpenAICompatClient::Result<QString>& r) {
                  r ? onReply(*r) : onError(r.error().message());
              });
    } else {
        m_request = m_setup.local.analyze(images, prompt, this,
            [=](const OllamaClient::Result<QString>& r) { r ? onReply(*r) : onError(r.error().message()); });
    }
    // The model takes its time; meanwhile the next item's pictures get ready.
    // Only once the pictures are on their way: decoding beside the upload would slow it down.
    if (m_setup.prepareAhead)
        m_request.whenSent(this, [this, position] {
            if (!m_stopped && m_position == position) // not when the request failed and the run moved on
                prefetchAfter(position);
        });
}

void AnalysisRun::prefetchAfter(qsizetype position)
{
    for (qsizetype next = position + 1; next < m_setup.ids.size(); ++next) {
        const std::optional<VideoItem> snapshot = m_model.itemSnapshot(m_setup.ids.at(next));
        if (!snapshot || snapshot->status == VideoItem::Status::Renamed)
            continue;
        m_prefetch = Prefetch { next, snapshot->url, snapshot->mediaKind,
            prepareAsync(snapshot->url, snapshot->mediaKind) };
        return;
    }
}

void AnalysisRun::store(const QUuid& id,
    const Prepared& prepared,
    const QString& reply,
    const QString& content,
    const QString& placeGuess,
    const std::optional<QString>& geoPlace)
{
    const AppSettings& settings = m_model.settings();
    const bool found = m_model.mutateItem(id, [&](VideoItem& item) {
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
            PromptBuilder::Version, m_replyMs, QDateTime::currentDateTimeUtc() };
        item.status = VideoItem::Status::Analyzed;
    });
    if (found)
        ++m_successes;
    else
        PictureCache::discard(prepared.cacheFile);
    advance();
}

void AnalysisRun::fail(const QUuid& id, const QString& text)
{
    m_model.mutateItem(id, [&](VideoItem& item) {
        item.status = VideoItem::Status::Error;
        item.analysisText = text;
    });
    advance();
}

void AnalysisRun::advance()
{
    m_current.reset();
    ++m_position;
    next();
}

void AnalysisRun::finish(bool stopped)
{
    const bool listChanged = m_model.itemCount() != m_listSize;
    const double elapsed = m_clock.nsecsElapsed() / 1e9;
    const qsizetype total = m_setup.ids.size();
    m_model.showStatus(stopped ? Messages::analysisStopped(m_successes, total, elapsed, listChanged)
                               : Messages::analysisFinished(m_successes, total, elapsed, listChanged));
    m_finished();
}

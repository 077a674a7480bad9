// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/AppModel.h"

#include "catalogue/Database.h"
#include "common/SettingsStore.h"
#include "common/Text.h"
#include "core/AnalysisRun.h"
#include "core/CatalogueLink.h"
#include "core/Messages.h"
#include "core/PictureCache.h"
#include "naming/Companions.h"
#include "naming/Messages.h"
#include "naming/NameBuilder.h"
#include "naming/PlaceResolver.h"
#include "naming/Renamer.h"
#include "naming/UndoLog.h"

#include <QThread>

#include <algorithm>
#include <sys/stat.h>
#include <unordered_map>

using namespace Qt::StringLiterals;

namespace {

// Spaces, tabs and the other horizontal spaces; line breaks are not white space here.
bool isBlank(const QString& text)
{
    return std::all_of(text.cbegin(), text.cend(), Text::isHorizontalSpace);
}

} // namespace

AppModel::AppModel(QObject* parent)
    : AppModel(QString(), Storage { Catalogue::defaultLocation(), true }, parent)
{ }

AppModel::AppModel(const QString& settingsPath, QObject* parent)
    : AppModel(settingsPath, Storage {}, parent)
{ }

AppModel::AppModel(const QString& settingsPath, const Storage& storage, QObject* parent)
    : QObject(parent)
    , m_settings(settingsPath.isEmpty() ? AppSettings() : AppSettings(settingsPath))
    , m_statusMessage(Messages::Welcome)
    , m_pictureCache(std::make_unique<PictureCache>())
    , m_importer(new Importer(m_settings, this))
    , m_server(new ModelServer(m_settings, this))
{
    // Signal to signal keeps the order the views saw: changed() before readinessChanged().
    connect(m_server, &ModelServer::listChanged, this, &AppModel::changed);
    connect(m_server, &ModelServer::modelsChanged, this, &AppModel::modelsChanged);
    connect(m_server, &ModelServer::readinessChanged, this, &AppModel::readinessChanged);
    connect(m_importer, &Importer::started, this, &AppModel::notify);
    connect(m_importer, &Importer::progressed, this, [this](const QString& message) {
        m_statusMessage = message;
        notify();
    });
    connect(m_importer, &Importer::found, this, &AppModel::takeImport);
    connect(m_importer, &Importer::finished, this, &AppModel::importFinished);
    m_canUndo = Renamer::latestLog().has_value();
    if (const QString moved = SettingsStore::lastQuarantinePath(); !moved.isEmpty())
        m_statusMessage = Messages::settingsMovedAside(moved);
    if (storage.catalogue.empty())
        return;
    m_catalogue = std::make_unique<CatalogueLink>(*this, storage.catalogue, storage.keepsList);
    m_items = m_catalogue->restore();
    rebuildIndexes();
    Companions::pairUp(m_items);
    if (!m_catalogue->openingMessage().isEmpty())
        m_statusMessage = m_catalogue->openingMessage();
    else if (!m_items.isEmpty())
        m_statusMessage = Messages::restored(m_items.size());
    m_catalogue->checkRestored();
}

AppModel::~AppModel()
{
    // The run's pending steps and request go with it; nothing of it outlives the model.
    delete m_run;
    m_run = nullptr;
    m_catalogue.reset(); // writes what is pending while the list is still here
}

AppModel::Pictures AppModel::pictures(const QUuid& id) const
{
    const auto index = indexOf(id);
    if (!index)
        return {};
    const VideoItem& item = m_items.at(*index);
    if (!item.frames.isEmpty())
        return { item.frames, item.montage ? item.montage->jpeg : QByteArray() };
    if (item.frameCount > 0) {
        if (const auto cached = m_pictureCache->load(id))
            return { cached->frames, cached->montage };
    }
    return {};
}

std::filesystem::path AppModel::pictureCacheFolder()
{
    return m_pictureCache->prepareFolder();
}

void AppModel::adoptPictures(VideoItem& item, const std::filesystem::path& file)
{
    if (file.empty() || item.frames.isEmpty() || !m_pictureCache->adopt(file, item.id)) {
        PictureCache::discard(file);
        return;
    }
    item.frames.clear();
    item.frames.squeeze();
    if (item.montage)
        item.montage->jpeg = QByteArray();
}

void AppModel::setStatusMessage(const QString& message)
{
    m_statusMessage = message;
}

void AppModel::notify()
{
    // Queued with this as context: dropped if the model is gone by then.
    QMetaObject::invokeMethod(
        this, [this] { emit changed(); }, Qt::QueuedConnection);
}

void AppModel::addFiles(const std::vector<std::filesystem::path>& urls)
{
    if (urls.empty()) {
        notify();
        emit importFinished();
        return;
    }
    // Known files bring their stored analysis; the others are hashed on the import's thread.
    if (m_catalogue && m_catalogue->isOpen())
        m_importer->setFileHook([lookup = m_catalogue->importLookup()](std::span<Importer::Found> files) {
            std::vector<std::filesystem::path> paths;
            paths.reserve(files.size());
            for (const Importer::Found& f : files)
                paths.push_back(f.path);
            std::vector<std::optional<CatalogueLink::Known>> known = lookup(paths);
            for (std::size_t i = 0; i < files.size() && i < known.size(); ++i)
                files[i].known = std::move(known[i]);
        });
    m_importer->enqueue(urls);
}

void AppModel::takeImport(const Importer::Result& result)
{
    // The duplicate rule against the list as it is now: it may have changed while the import ran. A
    // rename or an undo meanwhile may have moved what it found, within the list or away from it.
    std::vector<const Importer::Found*> fresh;
    fresh.reserve(result.found.size());
    for (const Importer::Found& f : result.found) {
        struct stat st
        { };
        if (!m_paths.contains(f.path.native()) && (!result.filesMoved || ::lstat(f.path.c_str(), &st) == 0))
            fresh.push_back(&f);
    }
    if (!fresh.empty()) {
        const qsizetype first = m_items.size();
        emit itemsAboutToBeAppended(first, first + qsizetype(fresh.size()) - 1);
        m_items.reserve(first + qsizetype(fresh.size()));
        for (const Importer::Found* f : fresh) {
            VideoItem item;
            item.id = QUuid::createUuid();
            item.url = f->path;
            item.mediaKind = f->kind;
            item.creationDate = f->creationDate;
            item.dateSource = f->dateSource;
            item.pathPlace = f->pathPlace;
            item.addedFolder = f->addedFolder;
            item.sidecars = f->sidecars;
            item.durationSeconds = f->duration;
            item.originalName = f->originalName;
            if (m_catalogue && f->known)
                m_catalogue->adopt(item, *f->known);
            m_paths.insert(item.url.native());
            m_positions.insert(item.id, m_items.size());
            m_items.append(std::move(item));
        }
        emit itemsAppended();
        if (Companions::pairUp(m_items))
            emitAllChanged();
    }

    if (!fresh.empty())
        m_statusMessage = Messages::imported(qsizetype(fresh.size()), m_items.size());
    else if (!result.urls.empty())
        m_statusMessage = Messages::NothingAdded;
    notify();
}

void AppModel::removeItems(const QList<int>& positions)
{
    if (positions.isEmpty())
        return;
    QList<int> unique(positions.begin(), positions.end());
    std::sort(unique.begin(), unique.end(), std::greater<>());
    unique.erase(std::unique(unique.begin(), unique.end()), unique.end());
    unique.removeIf([this](int position) { return position < 0 || position >= m_items.size(); });
    // Runs of neighbouring rows go in one step each, from the end, so views move each row only once.
    for (qsizetype i = 0; i < unique.size();) {
        qsizetype j = i;
        while (j + 1 < unique.size() && unique.at(j + 1) == unique.at(j) - 1)
            ++j;
        const qsizetype last = unique.at(i), first = unique.at(j);
        emit itemsAboutToBeRemoved(first, last);
        for (qsizetype k = first; k <= last; ++k) {
            m_paths.erase(m_items.at(k).url.native());
            if (m_pictureCache)
                m_pictureCache->remove(m_items.at(k).id);
        }
        m_items.remove(first, last - first + 1);
        emit itemsRemoved();
        i = j + 1;
    }
    rebuildIndexes();
    if (Companions::pairUp(m_items))
        emitAllChanged();
    m_statusMessage = Messages::removed(unique.size());
    notify();
}

void AppModel::clearItems()
{
    if (m_items.isEmpty()) {
        m_statusMessage = Messages::ListAlreadyEmpty;
    } else {
        emit itemsAboutToBeReset();
        m_items.clear();
        m_lastUndoLog.reset();
        rebuildIndexes();
        if (m_pictureCache)
            m_pictureCache->clear();
        emit itemsReset();
        m_statusMessage = Messages::ListCleared;
    }
    notify();
}

void AppModel::emitAllChanged()
{
    if (!m_items.isEmpty())
        emit itemsChanged(0, m_items.size() - 1);
}

void AppModel::rebuildIndexes()
{
    m_paths.clear();
    m_positions.clear();
    for (qsizetype i = 0; i < m_items.size(); ++i) {
        m_paths.insert(m_items.at(i).url.native());
        m_positions.insert(m_items.at(i).id, i);
    }
}

std::optional<qsizetype> AppModel::indexOf(const QUuid& id) const
{
    const auto it = m_positions.constFind(id);
    if (it == m_positions.cend())
        return std::nullopt;
    return *it;
}

std::optional<VideoItem> AppModel::itemSnapshot(const QUuid& id) const
{
    Q_ASSERT(QThread::currentThread() == thread());
    const auto index = indexOf(id);
    if (!index)
        return std::nullopt;
    return m_items.at(*index);
}

bool AppModel::mutateItem(const QUuid& id, const std::function<void(VideoItem&)>& body)
{
    Q_ASSERT(QThread::currentThread() == thread());
    const auto index = indexOf(id);
    if (!index)
        return false;
    VideoItem& item = m_items[*index];
    const std::string before = item.url.native();
    body(item);
    if (item.url.native() != before) {
        m_paths.erase(before);
        m_paths.insert(item.url.native());
    }
    emit itemsChanged(*index, *index);
    for (const qsizetype partner : Companions::spread(m_items, *index, m_positions))
        emit itemsChanged(partner, partner);
    emit changed();
    return true;
}

void AppModel::backfillPathPlaces()
{
    if (!m_settings.usePathPlace)
        return;
    qsizetype filled = 0;
    PlaceResolver::FolderLimits limits = PlaceResolver::systemLimits();
    for (VideoItem& item : m_items) {
        if (item.pathPlace)
            continue; // also when empty: an empty place was derived once and stays
        limits.addedFolder = item.addedFolder;
        item.pathPlace = PlaceResolver::fromPath(item.url, PlaceResolver::FolderDepth, limits);
        if (!item.pathPlace || item.pathPlace->isEmpty())
            continue;
        ++filled;
        if (isBlank(item.location)) {
            item.location = *item.pathPlace;
            if (item.status == VideoItem::Status::Analyzed)
                item.proposedName = NameBuilder::build(item, m_settings);
        }
    }
    if (filled > 0)
        m_statusMessage = Messages::placesFilled(filled);
    Companions::spreadAll(m_items);
    emitAllChanged();
    notify();
}

void AppModel::regenerateNames()
{
    for (VideoItem& item : m_items) {
        if (item.status == VideoItem::Status::Analyzed && !item.nameByHand) // a typed name stays
            item.proposedName = NameBuilder::build(item, m_settings);
    }
    Companions::spreadAll(m_items);
    emitAllChanged();
    notify();
}

void AppModel::renameAll()
{
    m_importer->noteFilesMoved();
    QSet<QUuid> batch;
    for (const VideoItem& item : std::as_const(m_items)) {
        if (Renamer::isEligible(item))
            batch.insert(item.id);
    }
    // A batch that moved nothing leaves the previous one to undo.
    const auto log = Renamer::rename(m_items);
    rebuildIndexes(); // the renamed items live at new paths now
    if (log) {
        m_lastUndoLog = log;
        m_canUndo = true;
        if (m_catalogue) {
            m_catalogue->noteBatch(
                *log, int(std::count_if(m_items.cbegin(), m_items.cend(), [&](const VideoItem& i) {
                    return batch.contains(i.id) && i.status == VideoItem::Status::Renamed;
                })));
        }
    }
    const auto failed = std::count_if(m_items.cbegin(), m_items.cend(),
        [&](const VideoItem& item) { return batch.contains(item.id) && !item.renameFailure.isEmpty(); });
    if (!log && failed == 0) {
        m_statusMessage = Messages::NothingToRename;
    } else {
        const auto renamed = std::count_if(m_items.cbegin(), m_items.cend(),
            [](const VideoItem& item) { return item.status == VideoItem::Status::Renamed; });
        m_statusMessage = Messages::renamed(renamed, failed);
    }
    emitAllChanged();
    notify();
}

bool AppModel::recoverInterruptedRename()
{
    const std::vector<std::filesystem::path> logs = Renamer::recoverInterrupted();
    if (logs.empty())
        return false;
    // The newest batch is the one the user would undo; older recovered logs stay for velmora-cli undo.
    m_lastUndoLog = Renamer::latestLog();
    m_canUndo = true;
    m_statusMessage = Messages::InterruptedRenameRecovered;
    notify();
    return true;
}

void AppModel::undoLast()
{
    // The undo directory is the history: a log goes when all of its files are back, and keeps what
    // could not go back yet. One that cannot be read at all changes nothing and is passed over.
    std::optional<std::filesystem::path> log;
    Renamer::UndoResult result;
    for (const std::filesystem::path& candidate : UndoLog::logsNewestFirst(Renamer::undoDirectory())) {
        result = Renamer::undo(candidate);
        if (result.outcome == Renamer::UndoResult::Outcome::Replayed) {
            log = candidate;
            break;
        }
    }
    m_canUndo = Renamer::latestLog().has_value();
    if (!log) {
        m_statusMessage = Messages::NothingToUndo;
        notify();
        return;
    }
    m_importer->noteFilesMoved();
    if (m_catalogue && !result.remaining)
        m_catalogue->noteUndone(*log);
    if (m_lastUndoLog == log)
        m_lastUndoLog = result.remaining;

    // Point each item whose file went back at its old path, so the list never shows a name that is no
    // longer on disk. An item whose file stayed renamed stays so.
    std::unordered_map<std::string, const std::filesystem::path*> restored;
    for (const auto& move : result.moves)
        restored.emplace(move.renamed.native(), &move.original);
    for (VideoItem& item : m_items) {
        const auto it = restored.find(item.url.native());
        if (it == restored.end())
            continue;
        item.url = *it->second;
        if (item.status == VideoItem::Status::Renamed)
            item.status = VideoItem::Status::Analyzed;
    }
    Companions::followUndo(m_items, result.moves);
    rebuildIndexes();
    const auto batchTime = UndoLog::timeOfLog(*log);
    m_statusMessage = batchTime ? Messages::undone(result.restored, QDateTime::fromSecsSinceEpoch(*batchTime))
                                : Messages::undone(result.restored);
    if (!result.failures.empty())
        m_statusMessage += u"；"_s + Renamer::Messages::filesLeft(int(result.failures.size()));
    emitAllChanged();
    notify();
}

// ---- analysis ---------------------------------------------------------------------------------------

namespace {

// The run's view of the list: items by id, the settings, the picture cache and the status line.
class ModelRunHost final : public RunHost
{
public:
    explicit ModelRunHost(AppModel& model)
        : m_model(model)
    { }

    qsizetype itemCount() const override
    {
        return m_model.items().size();
    }
    std::optional<VideoItem> itemSnapshot(const QUuid& id) const override
    {
        return m_model.itemSnapshot(id);
    }
    bool mutateItem(const QUuid& id, const std::function<void(VideoItem&)>& body) override
    {
        return m_model.mutateItem(id, body);
    }
    const AppSettings& settings() const override
    {
        return m_model.settings();
    }
    void adoptPictures(VideoItem& item, const std::filesystem::path& file) override
    {
        m_model.adoptPictures(item, file);
    }
    void showStatus(const QString& message) override
    {
        m_model.setStatusMessage(message);
        m_model.notify();
    }

private:
    AppModel& m_model;
};

} // namespace

void AppModel::analyzeAll()
{
    // Items analysed with the current settings keep their result; the others are asked about.
    const Catalogue::AnalysisKey key = CatalogueLink::keyOf(m_settings);
    const VideoItem::AnalysisStamp current { key.engine, key.model, key.frameCount, key.promptVersion, 0,
        {} };
    QList<QUuid> ids;
    ids.reserve(m_items.size());
    for (const VideoItem& item : std::as_const(m_items)) {
        const bool isCurrent = item.status != VideoItem::Status::Pending
            && item.status != VideoItem::Status::Error && item.analysedWith
            && item.analysedWith->matches(current);
        if (!item.followsPartner && !isCurrent) // a follower is analysed through its partner
            ids.append(item.id);
    }
    startRun(std::move(ids));
}

void AppModel::analyzeItems(const QList<QUuid>& ids)
{
    QList<QUuid> chosen;
    for (const QUuid& id : ids) {
        const auto index = indexOf(id);
        if (index && !m_items.at(*index).followsPartner)
            chosen.append(id);
    }
    startRun(std::move(chosen));
}

void AppModel::startRun(QList<QUuid> ids)
{
    if (m_run)
        return;
    AnalysisRun::Setup setup {
        OllamaClient(m_settings.ollamaURL(), m_settings.model()),
        OpenAICompatClient(m_settings.openAIURL(), m_settings.openAIKey, m_settings.model()),
        m_settings.engine() == VisionEngine::OpenAI,
        m_settings.frameCount,
        {},
        m_preparesAhead,
        pictureCacheFolder(),
        m_settings.maxConcurrentRequests(),
    };
    setup.local.setKeepAlive(m_settings.ollamaKeepAlive);
    setup.ids = std::move(ids);
    m_run = new AnalysisRun(std::make_unique<ModelRunHost>(*this), std::move(setup), [this] { finishRun(); });
    notify();
    m_run->start();
}

void AppModel::stopAnalysis()
{
    if (m_run)
        m_run->stop();
}

void AppModel::finishRun()
{
    m_run->deleteLater();
    m_run = nullptr;
    emit changed();
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/AppModel.h"

#include "common/FileDates.h"
#include "common/SettingsStore.h"
#include "common/Text.h"
#include "core/AnalysisRun.h"
#include "core/Messages.h"
#include "core/PictureCache.h"
#include "decoder/DecoderPool.h"
#include "naming/Companions.h"
#include "naming/Messages.h"
#include "naming/NameBuilder.h"
#include "naming/PlaceResolver.h"
#include "naming/Renamer.h"

#include <QDir>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QProcess>
#include <QStringDecoder>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent/QtConcurrentMap>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unordered_map>

using namespace Qt::StringLiterals;

namespace {

constexpr int PathPlaceDepth = 6;

struct DirCloser
{
    void operator()(DIR* dir) const
    {
        ::closedir(dir);
    }
};

// Spaces, tabs and the other horizontal spaces; line breaks are not white space here.
bool isBlank(const QString& text)
{
    return std::all_of(text.cbegin(), text.cend(), Text::isHorizontalSpace);
}

// The extension after the last dot of the file name, lower-cased; empty when there is none.
QString lowerExtension(const std::filesystem::path& path)
{
    const std::string name = path.filename().native();
    const auto dot = name.rfind('.');
    if (dot == std::string::npos)
        return {};
    return QString::fromUtf8(name.data() + dot + 1, qsizetype(name.size() - dot - 1)).toLower();
}

std::filesystem::path normalized(const std::filesystem::path& path)
{
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    if (ec)
        absolute = path;
    absolute = absolute.lexically_normal();
    // "clips/" names the folder "clips"; keep the duplicate rule blind to the trailing slash.
    if (!absolute.has_filename() && absolute.has_parent_path() && absolute != absolute.root_path())
        absolute = absolute.parent_path();
    return absolute;
}

bool isSymlink(const std::filesystem::path& path)
{
    struct stat st
    { };
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool isDirectory(const std::filesystem::path& path)
{
    struct stat st
    { };
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

// One import in the background. The job owns copies of everything it reads, so the model may go (or
// change its settings) while it runs; cancelled makes it stop early.
struct ImportJob
{
    struct Found
    {
        std::filesystem::path path;
        MediaKind kind;
        std::optional<QDateTime> creationDate;
        std::optional<QString> pathPlace;
        std::filesystem::path addedFolder;
        std::vector<std::filesystem::path> sidecars;
        bool mayBeLiveMotion = false;
        std::optional<double> duration;
        DateSource dateSource = DateSource::Metadata;
        std::string originalName {};
    };

    std::vector<std::filesystem::path> urls;
    MediaTarget target = MediaTarget::Videos;
    bool usePathPlace = true;
    unsigned renamesBefore = 0; // the model's count of renames and undos when the job started

    std::atomic<bool> cancelled { false };
    std::atomic<qsizetype> found { 0 };
    std::atomic<qsizetype> dated { 0 };
    std::atomic<bool> readingDates { false };
    AppModel::LeftOut leftOut; // written by the walk, read once it has finished
    QFutureWatcher<std::vector<Found>>* watcher = nullptr;

    static std::vector<Found> run(const std::shared_ptr<ImportJob>& job);
    static void lookBeside(std::vector<Found>& found);

private:
    std::optional<MediaKind> acceptedKind(const std::filesystem::path& path) const;
    // False when the media target leaves the file out.
    bool collectFile(const std::filesystem::path& path,
        bool isLink,
        std::vector<Found>& out,
        std::unordered_set<std::string>& seen,
        const std::filesystem::path& addedFolder = {});
    void collectFolder(
        const std::filesystem::path& folder, std::vector<Found>& out, std::unordered_set<std::string>& seen);
};

// Besides the common containers: AVCHD camcorders (MTS, M2TS) and phones (3GP).
const QStringList AppModel::videoExtensions { u"mp4"_s, u"mov"_s, u"m4v"_s, u"avi"_s, u"mkv"_s, u"webm"_s,
    u"wmv"_s, u"flv"_s, u"ts"_s, u"mpg"_s, u"mpeg"_s, u"mts"_s, u"m2ts"_s, u"3gp"_s };
// Besides the common formats: older Canon, Pentax, Samsung and Nikon compact RAW, the HEIF that Canon and
// Sony cameras name .HIF, GIF (its first frame) and the stereo JPEG pairs of two-lens cameras (MPO, whose
// first picture is a plain JPEG).
const QStringList AppModel::photoExtensions { u"cr3"_s, u"nef"_s, u"arw"_s, u"raf"_s, u"rw2"_s, u"orf"_s,
    u"dng"_s, u"jpg"_s, u"jpeg"_s, u"png"_s, u"tiff"_s, u"tif"_s, u"webp"_s, u"avif"_s, u"bmp"_s, u"heic"_s,
    u"heif"_s, u"cr2"_s, u"crw"_s, u"pef"_s, u"srw"_s, u"nrw"_s, u"hif"_s, u"gif"_s, u"mpo"_s };

AppModel::AppModel(QObject* parent)
    : AppModel(QString(), parent)
{ }

AppModel::AppModel(const QString& settingsPath, QObject* parent)
    : QObject(parent)
    , m_settings(settingsPath.isEmpty() ? AppSettings() : AppSettings(settingsPath))
    , m_statusMessage(Messages::Welcome)
    , m_pictureCache(std::make_unique<PictureCache>())
{
    if (const QString moved = SettingsStore::lastQuarantinePath(); !moved.isEmpty())
        m_statusMessage = Messages::settingsMovedAside(moved);
}

AppModel::~AppModel()
{
    // The run's pending steps and request go with it; nothing of it outlives the model.
    delete m_run;
    m_run = nullptr;
    // An import still walking or reading dates stops at its next file; its result is dropped.
    if (m_import)
        m_import->cancelled = true;
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

// ---- import ------------------------------------------------------------------------------------------

std::optional<MediaKind> ImportJob::acceptedKind(const std::filesystem::path& path) const
{
    const QString extension = lowerExtension(path);
    if (extension.isEmpty())
        return std::nullopt;
    const bool isVideo = AppModel::videoExtensions.contains(extension);
    const bool isPhoto = AppModel::photoExtensions.contains(extension);
    switch (target) {
    case MediaTarget::Videos:
        return isVideo ? std::optional(MediaKind::Video) : std::nullopt;
    case MediaTarget::Photos:
        return isPhoto ? std::optional(MediaKind::Photo) : std::nullopt;
    case MediaTarget::Both:
        if (isVideo)
            return MediaKind::Video;
        return isPhoto ? std::optional(MediaKind::Photo) : std::nullopt;
    }
    return std::nullopt;
}

bool ImportJob::collectFile(const std::filesystem::path& path,
    bool isLink,
    std::vector<Found>& out,
    std::unordered_set<std::string>& seen,
    const std::filesystem::path& addedFolder)
{
    const auto kind = acceptedKind(path);
    if (!kind)
        return false;
    // A link to a media file stands for the file itself: one item per real file, and a rename moves the
    // file rather than the link. A link that dangles, or leads to another kind of name, stays as it is.
    std::filesystem::path real = path;
    if (isLink) {
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            const std::filesystem::path linked(resolved);
            std::free(resolved);
            struct stat st
            { };
            if (acceptedKind(linked) == kind && ::stat(linked.c_str(), &st) == 0 && S_ISREG(st.st_mode))
                real = linked;
        }
    }
    if (!seen.insert(real.native()).second)
        return true;
    out.push_back({ real, *kind, std::nullopt, std::nullopt, addedFolder, {}, false, std::nullopt });
    found.store(qsizetype(out.size()), std::memory_order_relaxed);
    return true;
}

void ImportJob::collectFolder(
    const std::filesystem::path& folder, std::vector<Found>& out, std::unordered_set<std::string>& seen)
{
    // Depth first, hidden entries (and what is inside hidden folders) skipped. An explicit stack: a deep tree
    // cannot exhaust the call stack. Symbolic links to folders are not followed, so a link cycle cannot trap
    // the walk.
    std::vector<std::filesystem::path> stack { folder };
    while (!stack.empty() && !cancelled.load(std::memory_order_relaxed)) {
        const std::filesystem::path dirPath = std::move(stack.back());
        stack.pop_back();
        std::unique_ptr<DIR, DirCloser> dir(::opendir(dirPath.c_str()));
        if (!dir)
            continue; // unreadable or vanished meanwhile: passed over

        struct Entry
        {
            std::string name;
            bool isDir;
            bool isLink;
        };
        std::vector<Entry> entries;
        while (const dirent* entry = ::readdir(dir.get())) {
            if (entry->d_name[0] == '.')
                continue;
            bool isDir = entry->d_type == DT_DIR;
            bool isLink = entry->d_type == DT_LNK;
            if (entry->d_type == DT_UNKNOWN) {
                struct stat st
                { };
                const bool known
                    = ::fstatat(::dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0;
                isDir = known && S_ISDIR(st.st_mode);
                isLink = known && S_ISLNK(st.st_mode);
            }
            entries.push_back({ entry->d_name, isDir, isLink });
        }
        std::sort(
            entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });

        std::vector<std::filesystem::path> subfolders;
        for (const Entry& entry : entries) {
            std::filesystem::path path = dirPath / entry.name;
            if (entry.isDir) {
                // A folder is never an item, whatever its name ends in; its contents are.
                subfolders.push_back(std::move(path));
                continue;
            }
            if (!collectFile(path, entry.isLink, out, seen, folder) && target != MediaTarget::Both) {
                const QString extension = lowerExtension(path);
                leftOut.videos += AppModel::videoExtensions.contains(extension) ? 1 : 0;
                leftOut.photos += AppModel::photoExtensions.contains(extension) ? 1 : 0;
            }
        }
        // Each folder's files first, then its subfolders, all in name order.
        for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it)
            stack.push_back(std::move(*it));
    }
}

std::vector<ImportJob::Found> ImportJob::run(const std::shared_ptr<ImportJob>& job)
{
    std::vector<Found> found;
    std::unordered_set<std::string> seen;
    for (const auto& url : job->urls) {
        if (job->cancelled)
            return {};
        const std::filesystem::path path = normalized(url);
        if (isDirectory(path))
            job->collectFolder(path, found, seen);
        else
            job->collectFile(path, isSymlink(path), found, seen);
    }
    lookBeside(found);
    // Files renamed before keep the name they came with as their original-name part.
    if (!found.empty()) {
        const Renamer::OriginalNames originalNames = Renamer::OriginalNames::load();
        for (Found& f : found)
            f.originalName = originalNames.of(f.path);
    }
    PlaceResolver::FolderLimits limits = PlaceResolver::systemLimits();
    job->readingDates = true;
    // Dates are read in the decoder's worker processes, a batch at a time shared among them: a file that
    // crashes a library costs only its own date, and a cancelled job stops after the batch in hand.
    constexpr size_t Batch = 512;
    for (size_t start = 0; start < found.size() && !job->cancelled; start += Batch) {
        const size_t end = std::min(found.size(), start + Batch);
        std::vector<DatedFile> files;
        files.reserve(end - start);
        for (size_t i = start; i < end; ++i)
            files.push_back({ found[i].path, found[i].kind });
        const std::vector<std::optional<QDateTime>> dates = DecoderPool::shared().captureDates(files);
        for (size_t i = start; i < end; ++i) {
            // The worker reads the metadata; the name and the file's times are read here.
            if (const auto date = FileDates::complete(
                    found[i].path, i - start < dates.size() ? dates[i - start] : std::nullopt)) {
                found[i].creationDate = date->instant;
                found[i].dateSource = date->source;
            }
            if (job->usePathPlace) {
                limits.addedFolder = found[i].addedFolder;
                found[i].pathPlace = PlaceResolver::fromPath(found[i].path, PathPlaceDepth, limits);
            }
            // A clip beside a picture of its name may be the motion of a Live Photo: its length decides.
            if (found[i].mayBeLiveMotion) {
                found[i].duration = DecoderPool::shared()
                                        .decode({ found[i].path, MediaKind::Video, 0, 0, 0, true, 0 })
                                        .durationSeconds;
            }
        }
        job->dated.fetch_add(qsizetype(end - start), std::memory_order_relaxed);
    }
    return job->cancelled ? std::vector<Found>() : found;
}

// Sidecars and Live Photo candidates, reading each folder once.
void ImportJob::lookBeside(std::vector<Found>& found)
{
    std::vector<std::filesystem::path> paths;
    paths.reserve(found.size());
    for (const Found& f : found)
        paths.push_back(f.path);
    std::vector<Companions::Beside> beside = Companions::discover(paths);
    for (std::size_t i = 0; i < found.size(); ++i) {
        found[i].mayBeLiveMotion = Companions::mayBeLiveMotion(found[i].path, beside[i]);
        found[i].sidecars = std::move(beside[i].sidecars);
    }
}

namespace {

// The walk and the date reading run here, so that neither the event loop nor the decoding pool waits.
QThreadPool& importPool()
{
    static QThreadPool pool;
    static const bool configured = [] {
        pool.setMaxThreadCount(1);
        return true;
    }();
    Q_UNUSED(configured);
    return pool;
}

} // namespace

void AppModel::addFiles(const std::vector<std::filesystem::path>& urls)
{
    if (urls.empty()) {
        notify();
        emit importFinished();
        return;
    }
    m_importQueue.push_back(urls);
    if (!m_import)
        startNextImport();
}

void AppModel::startNextImport()
{
    auto job = std::make_shared<ImportJob>();
    job->urls = std::move(m_importQueue.front());
    m_importQueue.erase(m_importQueue.begin());
    job->target = m_settings.mediaTarget();
    job->usePathPlace = m_settings.usePathPlace;
    job->renamesBefore = m_renames;
    m_import = job;

    job->watcher = new QFutureWatcher<std::vector<ImportJob::Found>>(this);
    connect(job->watcher, &QFutureWatcherBase::finished, this, &AppModel::finishImport);
    job->watcher->setFuture(QtConcurrent::run(&importPool(), [job] { return ImportJob::run(job); }));

    if (!m_importProgress) {
        m_importProgress = new QTimer(this);
        m_importProgress->setInterval(150);
        connect(m_importProgress, &QTimer::timeout, this, &AppModel::showImportProgress);
    }
    // Progress from the first tick on: a quick import goes straight to its result.
    m_importProgress->start();
    notify(); // the window shows that it is working
}

void AppModel::showImportProgress()
{
    if (!m_import)
        return;
    m_statusMessage = m_import->readingDates ? Messages::importingDates(m_import->dated, m_import->found)
                                             : Messages::importing(m_import->found);
    notify();
}

void AppModel::finishImport()
{
    const std::shared_ptr<ImportJob> job = std::move(m_import);
    m_import.reset();
    m_importProgress->stop();
    const std::vector<ImportJob::Found> found = job->watcher->result();
    job->watcher->deleteLater();
    m_lastImportLeftOut = job->leftOut;

    // The duplicate rule against the list as it is now: it may have changed while the job ran. A rename
    // or an undo meanwhile may have moved what the job found, within the list or away from it.
    const bool filesMoved = job->renamesBefore != m_renames;
    std::vector<const ImportJob::Found*> fresh;
    fresh.reserve(found.size());
    for (const ImportJob::Found& f : found) {
        struct stat st
        { };
        if (!m_paths.contains(f.path.native()) && (!filesMoved || ::lstat(f.path.c_str(), &st) == 0))
            fresh.push_back(&f);
    }
    if (!fresh.empty()) {
        const qsizetype first = m_items.size();
        emit itemsAboutToBeAppended(first, first + qsizetype(fresh.size()) - 1);
        m_items.reserve(first + qsizetype(fresh.size()));
        for (const ImportJob::Found* f : fresh) {
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
    else if (!job->urls.empty())
        m_statusMessage = Messages::NothingAdded;
    notify();
    if (!m_importQueue.empty())
        startNextImport();
    emit importFinished();
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
        item.pathPlace = PlaceResolver::fromPath(item.url, PathPlaceDepth, limits);
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
    ++m_renames;
    QSet<QUuid> batch;
    for (const VideoItem& item : std::as_const(m_items)) {
        if (Renamer::isEligible(item))
            batch.insert(item.id);
    }
    // A batch that moved nothing leaves the previous one to undo.
    const auto log = Renamer::rename(m_items);
    rebuildIndexes(); // the renamed items live at new paths now
    if (log)
        m_lastUndoLog = log;
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
    m_statusMessage = Messages::InterruptedRenameRecovered;
    notify();
    return true;
}

void AppModel::undoLast()
{
    if (!m_lastUndoLog) {
        m_statusMessage = Messages::NothingToUndo;
        notify();
        return;
    }
    ++m_renames;
    const Renamer::UndoResult result = Renamer::undo(*m_lastUndoLog);
    // What could not go back yet stays for the next undo.
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
    m_statusMessage = Messages::undone(result.restored);
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
    };
    setup.ids.reserve(m_items.size());
    for (const VideoItem& item : std::as_const(m_items)) {
        if (!item.followsPartner) // analysed through its partner
            setup.ids.append(item.id);
    }
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

// ---- the local model server -------------------------------------------------------------------------

namespace {

// Where the server's installers put the program on Linux; the shell's PATH is asked last.
QStringList serverProgramLocations()
{
    return { u"/usr/local/bin/ollama"_s, u"/usr/bin/ollama"_s, u"/snap/bin/ollama"_s,
        QDir::homePath() + u"/.local/bin/ollama"_s, QDir::homePath() + u"/bin/ollama"_s };
}

} // namespace

void AppModel::probeInstallation(const std::function<void(bool)>& done)
{
    for (const QString& location : serverProgramLocations()) {
        const QFileInfo info(location);
        if (info.isFile() && info.isExecutable()) {
            done(true);
            return;
        }
    }
    // Ask the shell, as a user would: "command -v" finds programs anywhere on PATH.
    auto* shell = new QProcess(this);
    shell->setProgram(u"/bin/sh"_s);
    shell->setArguments({ u"-c"_s, u"command -v ollama"_s });
    shell->setStandardInputFile(QProcess::nullDevice());
    shell->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // The shell needs PATH, not the key.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(u"VELMORA_API_KEY"_s);
    shell->setProcessEnvironment(environment);
    connect(shell, &QProcess::finished, this, [shell, done](int exitCode, QProcess::ExitStatus status) {
        shell->deleteLater();
        const QByteArray output = shell->readAllStandardOutput();
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = decoder(output);
        done(status == QProcess::NormalExit && exitCode == 0 && !decoder.hasError()
            && !text.trimmed().isEmpty());
    });
    connect(shell, &QProcess::errorOccurred, this, [shell, done](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        shell->deleteLater();
        done(false);
    });
    shell->start();
}

void AppModel::checkOllamaReadiness()
{
    if (m_settings.engine() == VisionEngine::OpenAI) {
        m_readiness.installed = m_readiness.running = m_readiness.hasModel = true;
        m_readiness.error.reset();
        emit readinessChanged();
        return;
    }
    probeInstallation([this](bool installed) { readinessInstalled(installed); });
}

void AppModel::readinessInstalled(bool installed)
{
    // The address is asked also without a program here: the server may run on another machine or in a
    // container, and one that answers is all this program needs.
    const OllamaClient client(m_settings.ollamaURL(), m_settings.model());
    client.listModels(this, [this, installed](const OllamaClient::Result<QList<OllamaModel>>& result) {
        if (!result) {
            if (result.error().isCancelled())
                return;
            m_readiness.installed = installed;
            m_readiness.running = m_readiness.hasModel = false;
            m_readiness.error = installed ? Messages::NotRunningHint : Messages::NotInstalledHint;
            emit readinessChanged();
            return;
        }
        m_readiness.installed = m_readiness.running = true;
        m_readiness.modelNames.clear();
        for (const OllamaModel& model : *result)
            m_readiness.modelNames.append(model.name);
        m_readiness.hasModel = !result->isEmpty();
        m_readiness.error = result->isEmpty() ? std::optional(Messages::NoModelHint) : std::nullopt;
        m_models = *result;
        applyModelSelection();
        emit changed();
        emit readinessChanged();
    });
}

void AppModel::applyModelSelection()
{
    if (m_models.isEmpty())
        return;
    const QString selected = m_settings.model();
    const bool listed = std::any_of(
        m_models.cbegin(), m_models.cend(), [&](const OllamaModel& model) { return model.name == selected; });
    if (!listed)
        m_settings.setModel(m_models.first().name);
}

void AppModel::pullVisionModel(const QString& name)
{
    if (m_isPulling)
        return;
    m_isPulling = true;
    m_pullProgress = Messages::PullConnecting;
    emit readinessChanged();
    const OllamaClient client(m_settings.ollamaURL(), name);
    client.pullModel(
        name, this,
        [this](const QString& progress) {
            m_pullProgress = progress;
            emit readinessChanged();
        },
        [this](const OllamaClient::Result<void>& result) {
            m_isPulling = false;
            if (result) {
                m_pullProgress = Messages::PullDone;
                checkOllamaReadiness();
                return;
            }
            m_pullProgress = Messages::PullFailedPrefix + result.error().message();
            emit readinessChanged();
        });
}

void AppModel::refreshModels()
{
    auto apply = [this](QList<OllamaModel> models) {
        m_models = std::move(models);
        applyModelSelection();
        emit changed();
        emit modelsChanged();
    };
    auto failed = [this] {
        m_models.clear();
        emit changed();
    };
    if (m_settings.engine() == VisionEngine::OpenAI) {
        const OpenAICompatClient client(m_settings.openAIURL(), m_settings.openAIKey, m_settings.model());
        client.listModels(this, [=](const OpenAICompatClient::Result<QStringList>& result) {
            if (!result) {
                failed();
                return;
            }
            QList<OllamaModel> models;
            for (const QString& id : *result)
                models.append(OllamaModel { id, std::nullopt, std::nullopt });
            apply(std::move(models));
        });
        return;
    }
    const OllamaClient client(m_settings.ollamaURL(), m_settings.model());
    client.listModels(this,
        [=](const OllamaClient::Result<QList<OllamaModel>>& result) { result ? apply(*result) : failed(); });
}

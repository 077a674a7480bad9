// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/Importer.h"

#include "common/FileDates.h"
#include "core/Messages.h"
#include "decoder/DecoderPool.h"
#include "media/FileKinds.h"
#include "naming/Companions.h"
#include "naming/PlaceResolver.h"
#include "naming/Renamer.h"

#include <QFutureWatcher>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unordered_set>

namespace {

struct DirCloser
{
    void operator()(DIR* dir) const
    {
        ::closedir(dir);
    }
};

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

// Threads of one job each. The walk and the date reading run on Import, so that neither the event loop
// nor the decoding pool waits; the hook runs on Hook beside it, one call after the other.
enum class Lane
{
    Import,
    Hook,
};

QThreadPool& pool(Lane lane)
{
    static std::array<QThreadPool, 2> pools;
    static const bool configured = [] {
        for (QThreadPool& each : pools)
            each.setMaxThreadCount(1);
        return true;
    }();
    Q_UNUSED(configured);
    return pools[std::size_t(lane)];
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
    using Found = Importer::Found;

    std::vector<std::filesystem::path> urls;
    MediaTarget target = MediaTarget::Videos;
    bool usePathPlace = true;
    unsigned movesBefore = 0; // the importer's count of renames and undos when the job started
    Importer::FileHook hook;

    std::atomic<bool> cancelled { false };
    std::atomic<qsizetype> found { 0 };
    std::atomic<qsizetype> dated { 0 };
    std::atomic<bool> readingDates { false };
    Importer::LeftOut leftOut; // written by the walk, read once it has finished
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

std::optional<MediaKind> ImportJob::acceptedKind(const std::filesystem::path& path) const
{
    const auto kind = FileKinds::kindOf(path);
    if (!kind)
        return std::nullopt;
    switch (target) {
    case MediaTarget::Videos:
        return *kind == MediaKind::Video ? kind : std::nullopt;
    case MediaTarget::Photos:
        return *kind == MediaKind::Photo ? kind : std::nullopt;
    case MediaTarget::Both:
        return kind;
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
                const auto kind = FileKinds::kindOf(path);
                leftOut.videos += kind == MediaKind::Video ? 1 : 0;
                leftOut.photos += kind == MediaKind::Photo ? 1 : 0;
            }
        }
        // Each folder's files first, then its subfolders, all in name order.
        for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it)
            stack.push_back(std::move(*it));
    }
}

std::vector<Importer::Found> ImportJob::run(const std::shared_ptr<ImportJob>& job)
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
    // Meanwhile the hook looks at the next batch on a thread of its own; what it knows of a file may
    // spare reading its metadata.
    static constexpr size_t Batch = 512;
    auto lookAhead = [&job, &found](size_t start) {
        if (!job->hook || start >= found.size())
            return QFuture<void>();
        const size_t count = std::min(Batch, found.size() - start);
        return QtConcurrent::run(&pool(Lane::Hook),
            [&job, &found, start, count] { job->hook(std::span<Found>(found).subspan(start, count)); });
    };
    QFuture<void> ahead = lookAhead(0);
    for (size_t start = 0; start < found.size() && !job->cancelled; start += Batch) {
        const size_t end = std::min(found.size(), start + Batch);
        ahead.waitForFinished();
        std::vector<std::optional<FileDates::CaptureDate>> metadata(end - start);
        std::vector<DatedFile> files;
        std::vector<size_t> toRead;
        for (size_t i = start; i < end; ++i) {
            if (found[i].known && found[i].known->metadataDate) {
                metadata[i - start] = found[i].known->metadataDate;
            } else {
                files.push_back({ found[i].path, found[i].kind });
                toRead.push_back(i - start);
            }
        }
        ahead = lookAhead(end);
        const std::vector<std::optional<FileDates::CaptureDate>> dates
            = DecoderPool::shared().captureDates(files);
        for (size_t k = 0; k < toRead.size() && k < dates.size(); ++k)
            metadata[toRead[k]] = dates[k];
        for (size_t i = start; i < end; ++i) {
            // The worker reads the metadata; the name and the file's times are read here.
            if (const auto date = FileDates::complete(found[i].path, metadata[i - start])) {
                found[i].creationDate = date->instant;
                found[i].dateSource = date->source;
            }
            if (job->usePathPlace) {
                limits.addedFolder = found[i].addedFolder;
                found[i].pathPlace
                    = PlaceResolver::fromPath(found[i].path, PlaceResolver::FolderDepth, limits);
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
    ahead.waitForFinished(); // it writes into found
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

Importer::Importer(const AppSettings& settings, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
{ }

Importer::~Importer()
{
    if (m_job)
        m_job->cancelled = true;
}

void Importer::enqueue(std::vector<std::filesystem::path> urls)
{
    m_queue.push_back(std::move(urls));
    if (!m_job)
        startNext();
}

void Importer::startNext()
{
    auto job = std::make_shared<ImportJob>();
    job->urls = std::move(m_queue.front());
    m_queue.erase(m_queue.begin());
    job->target = m_settings.mediaTarget();
    job->usePathPlace = m_settings.usePathPlace;
    job->movesBefore = m_moves;
    job->hook = m_hook;
    m_job = job;

    job->watcher = new QFutureWatcher<std::vector<Found>>(this);
    connect(job->watcher, &QFutureWatcherBase::finished, this, &Importer::finish);
    job->watcher->setFuture(QtConcurrent::run(&pool(Lane::Import), [job] { return ImportJob::run(job); }));

    if (!m_progress) {
        m_progress = new QTimer(this);
        m_progress->setInterval(150);
        connect(m_progress, &QTimer::timeout, this, [this] {
            if (m_job)
                emit progressed(m_job->readingDates ? Messages::importingDates(m_job->dated, m_job->found)
                                                    : Messages::importing(m_job->found));
        });
    }
    // Progress from the first tick on: a quick import goes straight to its result.
    m_progress->start();
    emit started();
}

void Importer::finish()
{
    const std::shared_ptr<ImportJob> job = std::move(m_job);
    m_job.reset();
    m_progress->stop();
    m_lastLeftOut = job->leftOut;
    const Result result { std::move(job->urls), job->watcher->result(), job->movesBefore != m_moves };
    job->watcher->deleteLater();
    emit found(result);
    if (!m_queue.empty())
        startNext();
    emit finished();
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/AppModel.h"

#include "common/Text.h"
#include "core/AnalysisRun.h"
#include "core/Messages.h"
#include "decoder/DecoderPool.h"
#include "naming/NameBuilder.h"
#include "naming/PlaceResolver.h"
#include "naming/Renamer.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStringDecoder>
#include <QThread>
#include <QtConcurrent/QtConcurrentMap>

#include <algorithm>
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

bool isDirectory(const std::filesystem::path& path)
{
    struct stat st
    { };
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

const QStringList AppModel::videoExtensions { u"mp4"_s, u"mov"_s, u"m4v"_s, u"avi"_s, u"mkv"_s, u"webm"_s,
    u"wmv"_s, u"flv"_s, u"ts"_s, u"mpg"_s, u"mpeg"_s };
const QStringList AppModel::photoExtensions { u"cr3"_s, u"nef"_s, u"arw"_s, u"raf"_s, u"rw2"_s, u"orf"_s,
    u"dng"_s, u"jpg"_s, u"jpeg"_s, u"png"_s, u"tiff"_s, u"tif"_s, u"webp"_s, u"avif"_s, u"bmp"_s, u"heic"_s,
    u"heif"_s };

AppModel::AppModel(QObject* parent)
    : AppModel(QString(), parent)
{ }

AppModel::AppModel(const QString& settingsPath, QObject* parent)
    : QObject(parent)
    , m_settings(settingsPath.isEmpty() ? AppSettings() : AppSettings(settingsPath))
    , m_statusMessage(Messages::Welcome)
{ }

AppModel::~AppModel()
{
    // The run's pending steps and request go with it; nothing of it outlives the model.
    delete m_run;
    m_run = nullptr;
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

std::optional<MediaKind> AppModel::acceptedKind(const std::filesystem::path& path) const
{
    const QString extension = lowerExtension(path);
    if (extension.isEmpty())
        return std::nullopt;
    const bool isVideo = videoExtensions.contains(extension);
    const bool isPhoto = photoExtensions.contains(extension);
    switch (m_settings.mediaTarget()) {
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

void AppModel::collectFile(const std::filesystem::path& path,
    std::vector<Accepted>& out,
    std::unordered_set<std::string>& seen) const
{
    const auto kind = acceptedKind(path);
    if (!kind)
        return;
    if (m_paths.contains(path.native()) || !seen.insert(path.native()).second)
        return;
    out.push_back({ path, *kind });
}

void AppModel::collectFolder(const std::filesystem::path& folder,
    std::vector<Accepted>& out,
    std::unordered_set<std::string>& seen) const
{
    // Depth first, hidden entries (and what is inside hidden folders) skipped. An explicit stack: a deep tree
    // cannot exhaust the call stack. Symbolic links to folders are not followed, so a link cycle cannot trap
    // the walk.
    std::vector<std::filesystem::path> stack { folder };
    while (!stack.empty()) {
        const std::filesystem::path dirPath = std::move(stack.back());
        stack.pop_back();
        std::unique_ptr<DIR, DirCloser> dir(::opendir(dirPath.c_str()));
        if (!dir)
            continue; // unreadable or vanished meanwhile: passed over

        struct Entry
        {
            std::string name;
            bool isDir;
        };
        std::vector<Entry> entries;
        while (const dirent* entry = ::readdir(dir.get())) {
            if (entry->d_name[0] == '.')
                continue;
            bool isDir = entry->d_type == DT_DIR;
            if (entry->d_type == DT_UNKNOWN) {
                struct stat st
                { };
                isDir = ::fstatat(::dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0
                    && S_ISDIR(st.st_mode);
            }
            entries.push_back({ entry->d_name, isDir });
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
            collectFile(path, out, seen);
        }
        // Each folder's files first, then its subfolders, all in name order.
        for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it)
            stack.push_back(std::move(*it));
    }
}

qsizetype AppModel::appendItems(const std::vector<Accepted>& accepted)
{
    struct Facts
    {
        std::optional<QString> pathPlace;
    };
    const bool usePathPlace = m_settings.usePathPlace;
    // Dates are read in the decoder's worker processes, several files to a request: a file that
    // crashes a library costs only its own date.
    std::vector<DatedFile> files;
    files.reserve(accepted.size());
    for (const Accepted& a : accepted)
        files.push_back({ a.path, a.kind });
    const std::vector<std::optional<QDateTime>> dates = DecoderPool::shared().captureDates(files);
    const QList<Facts> facts
        = QtConcurrent::blockingMapped<QList<Facts>>(accepted, [usePathPlace](const Accepted& a) {
              Facts f;
              if (usePathPlace)
                  f.pathPlace = PlaceResolver::fromPath(a.path, PathPlaceDepth);
              return f;
          });

    m_items.reserve(m_items.size() + qsizetype(accepted.size()));
    for (size_t i = 0; i < accepted.size(); ++i) {
        VideoItem item;
        item.id = QUuid::createUuid();
        item.url = accepted[i].path;
        item.mediaKind = accepted[i].kind;
        item.creationDate = dates[i];
        item.pathPlace = facts[qsizetype(i)].pathPlace;
        m_paths.insert(item.url.native());
        m_positions.insert(item.id, m_items.size());
        m_items.append(std::move(item));
    }
    return qsizetype(accepted.size());
}

void AppModel::addFiles(const std::vector<std::filesystem::path>& urls)
{
    std::vector<Accepted> accepted;
    std::unordered_set<std::string> seen;
    for (const auto& url : urls) {
        const std::filesystem::path path = normalized(url);
        if (isDirectory(path))
            collectFolder(path, accepted, seen);
        else
            collectFile(path, accepted, seen);
    }
    const qsizetype added = appendItems(accepted);

    if (added > 0)
        m_statusMessage = Messages::imported(added, m_items.size());
    else if (!urls.empty())
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
    for (const int position : std::as_const(unique)) {
        if (position < 0 || position >= m_items.size())
            continue;
        m_paths.erase(m_items.at(position).url.native());
        m_items.removeAt(position);
    }
    rebuildIndexes();
    m_statusMessage = Messages::removed(unique.size());
    notify();
}

void AppModel::clearItems()
{
    if (m_items.isEmpty()) {
        m_statusMessage = Messages::ListAlreadyEmpty;
    } else {
        m_items.clear();
        m_lastUndoLog.reset();
        rebuildIndexes();
        m_statusMessage = Messages::ListCleared;
    }
    notify();
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
    emit changed();
    return true;
}

void AppModel::backfillPathPlaces()
{
    if (!m_settings.usePathPlace)
        return;
    qsizetype filled = 0;
    for (VideoItem& item : m_items) {
        if (item.pathPlace)
            continue; // also when empty: an empty place was derived once and stays
        item.pathPlace = PlaceResolver::fromPath(item.url, PathPlaceDepth);
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
    notify();
}

void AppModel::regenerateNames()
{
    for (VideoItem& item : m_items) {
        if (item.status == VideoItem::Status::Analyzed)
            item.proposedName = NameBuilder::build(item, m_settings);
    }
    notify();
}

void AppModel::renameAll()
{
    m_lastUndoLog = Renamer::rename(m_items);
    rebuildIndexes(); // the renamed items live at new paths now
    if (!m_lastUndoLog) {
        m_statusMessage = Messages::NothingToRename;
    } else {
        const auto renamed = std::count_if(m_items.cbegin(), m_items.cend(),
            [](const VideoItem& item) { return item.status == VideoItem::Status::Renamed; });
        m_statusMessage = Messages::renamed(renamed);
    }
    notify();
}

void AppModel::undoLast()
{
    if (!m_lastUndoLog) {
        m_statusMessage = Messages::NothingToUndo;
        notify();
        return;
    }
    const Renamer::UndoResult result = Renamer::undo(*m_lastUndoLog);
    m_lastUndoLog.reset();

    // Point each item whose file went back at its old path, so the list never shows a name that is no
    // longer on disk.
    std::unordered_map<std::string, const std::filesystem::path*> restored;
    for (const auto& move : result.moves)
        restored.emplace(move.renamed.native(), &move.original);
    for (VideoItem& item : m_items) {
        if (const auto it = restored.find(item.url.native()); it != restored.end())
            item.url = *it->second;
        if (item.status == VideoItem::Status::Renamed)
            item.status = VideoItem::Status::Analyzed;
    }
    rebuildIndexes();
    m_statusMessage = Messages::undone(result.restored);
    notify();
}

// ---- analysis ---------------------------------------------------------------------------------------

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
    };
    setup.ids.reserve(m_items.size());
    for (const VideoItem& item : std::as_const(m_items))
        setup.ids.append(item.id);
    m_run = new AnalysisRun(*this, std::move(setup), [this] { finishRun(); });
    notify();
    m_run->start();
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
    m_readiness.installed = installed;
    if (!installed) {
        m_readiness.running = m_readiness.hasModel = false;
        m_readiness.error = Messages::NotInstalledHint;
        emit readinessChanged();
        return;
    }
    const OllamaClient client(m_settings.ollamaURL(), m_settings.model());
    client.listModels(this, [this](const OllamaClient::Result<QList<OllamaModel>>& result) {
        if (!result) {
            if (result.error().isCancelled())
                return;
            m_readiness.running = m_readiness.hasModel = false;
            m_readiness.error = Messages::NotRunningHint;
            emit readinessChanged();
            return;
        }
        m_readiness.running = true;
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

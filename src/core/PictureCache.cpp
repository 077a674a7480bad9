// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/PictureCache.h"

#include "common/Paths.h"

#include <QDataStream>
#include <QFile>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr quint32 Magic = 0x56504331; // "VPC1"
constexpr const char* FolderPrefix = "run-";

// "run-<pid>-XXXXXX": the pid of the process that made the folder, or nothing for another name.
std::optional<pid_t> ownerOf(const std::string& name)
{
    if (name.rfind(FolderPrefix, 0) != 0)
        return std::nullopt;
    const std::string rest = name.substr(4);
    const auto dash = rest.find('-');
    if (dash == std::string::npos || dash == 0)
        return std::nullopt;
    pid_t pid = 0;
    for (size_t i = 0; i < dash; ++i) {
        if (rest[i] < '0' || rest[i] > '9' || pid > 10'000'000)
            return std::nullopt;
        pid = pid * 10 + (rest[i] - '0');
    }
    return pid;
}

// Whether a running program holds the folder: each one keeps a lock on its own folder for as long as it
// uses it, and the kernel drops the lock when the program ends, however it ends.
bool isHeld(const fs::path& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return true; // not ours to judge
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

// Folders left by processes that are gone (killed, crashed) are removed; their pictures are useless.
// So are folders untouched for longer than MaxIdleAge whatever their number says: process numbers come
// round again, and a folder whose number now belongs to another process would otherwise stay for good.
// A folder whose program still holds it stays, however long that program has been idle.
// Thousands of pictures take a while to delete, so that happens beside the caller.
void sweepAbandoned(const fs::path& root)
{
    constexpr auto MaxIdleAge = std::chrono::days(7);
    const auto now = fs::file_time_type::clock::now();
    std::vector<fs::path> abandoned;
    std::error_code ec;
    for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const auto pid = ownerOf(it->path().filename().native());
        if (!pid || *pid == ::getpid())
            continue;
        std::error_code timeError;
        const auto changed = fs::last_write_time(it->path(), timeError);
        const bool stale = !timeError && now - changed > MaxIdleAge;
        if (!stale && (::kill(*pid, 0) == 0 || errno != ESRCH))
            continue;
        if (isHeld(it->path()))
            continue;
        abandoned.push_back(it->path());
    }
    if (abandoned.empty())
        return;
    std::thread([abandoned = std::move(abandoned)] {
        for (const fs::path& folder : abandoned) {
            std::error_code ignored;
            fs::remove_all(folder, ignored);
        }
    }).detach();
}

} // namespace

PictureCache::PictureCache(fs::path root)
    : m_root(std::move(root))
{
    // At every start, not only once this run stores its first pictures: a killed run's pictures are
    // the user's frames, and should not wait for the next analysis to go.
    if (m_root.empty())
        m_root = fs::path(QFile::encodeName(Paths::cacheDir()).toStdString());
    sweepAbandoned(m_root);
}

PictureCache::~PictureCache()
{
    clear();
}

bool PictureCache::ensureFolder()
{
    if (!m_folder.empty())
        return true;
    if (m_failed)
        return false;
    if (!Paths::makePrivateDir(QFile::decodeName(QByteArray::fromStdString(m_root.native())))) {
        m_failed = true;
        return false;
    }
    sweepAbandoned(m_root);
    std::string pattern = (m_root / (FolderPrefix + std::to_string(::getpid()) + "-XXXXXX")).native();
    if (!::mkdtemp(pattern.data())) {
        m_failed = true;
        return false;
    }
    m_folder = pattern;
    m_lock = ::open(m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (m_lock >= 0)
        ::flock(m_lock, LOCK_EX | LOCK_NB);
    return true;
}

fs::path PictureCache::entryPath(const QUuid& id) const
{
    return m_folder / id.toByteArray(QUuid::WithoutBraces).toStdString();
}

namespace {

bool writeEntry(const fs::path& path, const PictureCache::Pictures& pictures)
{
    QFile file(QFile::decodeName(QByteArray::fromStdString(path.native())));
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    QDataStream out(&file);
    out.setVersion(QDataStream::Qt_6_4);
    out << Magic << pictures.frames << pictures.montage;
    const bool written = out.status() == QDataStream::Ok && file.flush();
    file.close();
    if (!written) {
        std::error_code ec;
        fs::remove(path, ec);
    }
    return written;
}

} // namespace

bool PictureCache::store(const QUuid& id, const Pictures& pictures)
{
    if (!ensureFolder())
        return false;
    const fs::path file = writeFile(m_folder, pictures);
    return !file.empty() && adopt(file, id);
}

fs::path PictureCache::prepareFolder()
{
    return ensureFolder() ? m_folder : fs::path();
}

fs::path PictureCache::writeFile(const fs::path& folder, const Pictures& pictures)
{
    if (folder.empty())
        return {};
    const fs::path file
        = folder / ("pending-" + QUuid::createUuid().toByteArray(QUuid::WithoutBraces).toStdString());
    return writeEntry(file, pictures) ? file : fs::path();
}

bool PictureCache::adopt(const fs::path& file, const QUuid& id)
{
    // Only a file of this cache's present folder: one written before the list was cleared is gone.
    if (m_folder.empty() || file.parent_path() != m_folder)
        return false;
    std::error_code ec;
    fs::rename(file, entryPath(id), ec);
    return !ec;
}

void PictureCache::discard(const fs::path& file)
{
    std::error_code ec;
    if (!file.empty())
        fs::remove(file, ec);
}

std::optional<PictureCache::Pictures> PictureCache::load(const QUuid& id) const
{
    if (m_folder.empty())
        return std::nullopt;
    QFile file(QFile::decodeName(QByteArray::fromStdString(entryPath(id).native())));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QDataStream in(&file);
    in.setVersion(QDataStream::Qt_6_4);
    quint32 magic = 0;
    Pictures pictures;
    in >> magic >> pictures.frames >> pictures.montage;
    if (in.status() != QDataStream::Ok || magic != Magic)
        return std::nullopt;
    return pictures;
}

void PictureCache::remove(const QUuid& id)
{
    if (m_folder.empty())
        return;
    std::error_code ec;
    fs::remove(entryPath(id), ec);
}

void PictureCache::clear()
{
    if (m_folder.empty())
        return;
    std::error_code ec;
    fs::remove_all(m_folder, ec);
    m_folder.clear();
    if (m_lock >= 0)
        ::close(m_lock);
    m_lock = -1;
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalogue/FileIdentity.h"

#include <QtEndian>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

namespace Catalogue {

namespace {

bool readFully(int fd, char* buffer, qint64 length, qint64 offset)
{
    while (length > 0) {
        const ssize_t got = ::pread(fd, buffer, size_t(length), offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        buffer += got;
        length -= got;
        offset += got;
    }
    return true;
}

} // namespace

std::optional<FileStamp> stampOf(int fd)
{
    struct stat info
    { };
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    return FileStamp { quint64(info.st_dev), quint64(info.st_ino), qint64(info.st_size),
        qint64(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec };
}

std::optional<FileIdentity> identityOf(int fd)
{
    const std::optional<FileStamp> stamp = stampOf(fd);
    if (!stamp)
        return std::nullopt;
    const qint64 size = stamp->size;
    constexpr qint64 Edge = FileIdentity::EdgeBytes;
    // Head and tail are hashed as one run of bytes, so a small file and a large one use the same
    // definition: the first min(size, 64 KiB) bytes, then the last bytes that were not hashed yet.
    const qint64 headLength = qMin(size, Edge);
    const qint64 tailLength = qMin(size - headLength, Edge);
    QByteArray bytes(headLength + tailLength, Qt::Uninitialized);
    if (!readFully(fd, bytes.data(), headLength, 0)
        || !readFully(fd, bytes.data() + headLength, tailLength, size - tailLength))
        return std::nullopt;
    // A file that grew or shrank while it was read would give a hash of no real content.
    const std::optional<FileStamp> after = stampOf(fd);
    if (!after || after->size != size)
        return std::nullopt;

    const XXH128_hash_t hash = XXH3_128bits(bytes.constData(), size_t(bytes.size()));
    QByteArray digest(16, Qt::Uninitialized);
    qToBigEndian(quint64(hash.high64), digest.data());
    qToBigEndian(quint64(hash.low64), digest.data() + 8);
    return FileIdentity { size, digest };
}

std::optional<FileIdentity> identityOf(const std::filesystem::path& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    std::optional<FileIdentity> identity = identityOf(fd);
    ::close(fd);
    return identity;
}

} // namespace Catalogue

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>

#include <filesystem>
#include <optional>

// What makes a file the same file for the catalogue, whatever its name or folder: its size and a
// 128-bit XXH3 hash of its first and last 64 KiB (the whole file when it is at most 128 KiB). The
// stamp (device, inode, size, modification time in ns) tells cheaply that a known file is unchanged.
//
// These functions read the file: call them from import or decoder threads, never from the interface
// thread. Safe on any thread; nothing is shared.
namespace Catalogue {

struct FileIdentity
{
    static constexpr qint64 EdgeBytes = 64 * 1024;

    qint64 size = 0;
    QByteArray hash; // 16 bytes, big-endian XXH3-128

    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

struct FileStamp
{
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 mtimeNs = 0;

    friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

// Nothing when the descriptor cannot be stat'ed or is not a regular file.
std::optional<FileStamp> stampOf(int fd);

// Reads with pread, so the descriptor's offset is left where it was. Nothing when the file cannot be
// read, is not a regular file, or changes size while it is read.
std::optional<FileIdentity> identityOf(int fd);
std::optional<FileIdentity> identityOf(const std::filesystem::path& path);

} // namespace Catalogue

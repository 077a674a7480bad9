// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QTimeZone>

#include <filesystem>
#include <optional>
#include <vector>

// How values are written to columns and read back, shared by the reader and the writer.
namespace Catalogue::Columns {

inline QByteArray pathBytes(const std::filesystem::path& path)
{
    return QByteArray::fromStdString(path.native());
}

inline std::filesystem::path pathFrom(const QByteArray& bytes)
{
    return std::filesystem::path(bytes.toStdString());
}

inline std::optional<qint64> millis(const std::optional<QDateTime>& time)
{
    if (!time || !time->isValid())
        return std::nullopt;
    return time->toMSecsSinceEpoch();
}

inline QDateTime timeFrom(qint64 millis)
{
    return QDateTime::fromMSecsSinceEpoch(millis, QTimeZone::utc());
}

// Paths cannot hold NUL bytes, so NUL separates them.
inline QByteArray joinPaths(const std::vector<std::filesystem::path>& paths)
{
    QByteArray bytes;
    for (const auto& path : paths) {
        if (!bytes.isEmpty())
            bytes += '\0';
        bytes += pathBytes(path);
    }
    return bytes;
}

inline std::vector<std::filesystem::path> splitPaths(const QByteArray& bytes)
{
    std::vector<std::filesystem::path> paths;
    if (!bytes.isEmpty()) {
        for (const QByteArray& part : bytes.split('\0'))
            paths.push_back(pathFrom(part));
    }
    return paths;
}

} // namespace Catalogue::Columns

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/GeoCoordinate.h"
#include "common/MediaKind.h"
#include "common/Montage.h"

#include <QByteArrayList>
#include <QDateTime>
#include <QString>
#include <QUuid>

#include <filesystem>
#include <optional>

// One media file of the work list with everything learnt about it. A plain value: copies are
// independent snapshots; only AppModel's list is the real thing, and items are found again by id.
struct VideoItem
{
    enum class Status
    {
        Pending,
        Analyzing,
        Analyzed,
        Naming,
        Renamed,
        Error,
    };

    QUuid id;
    // Where the file is now. A native byte path: names need not be valid UTF-8.
    std::filesystem::path url;
    MediaKind mediaKind = MediaKind::Video;
    QByteArrayList frames; // JPEG images, in time order
    std::optional<Montage> montage;
    QString analysisText;
    QString content;
    QString location;
    // Absent means never derived, which is not the same as derived but empty.
    std::optional<QString> pathPlace;
    std::optional<GeoCoordinate> coordinate;
    std::optional<QString> geoPlace;
    std::optional<QDateTime> creationDate;
    QString proposedName;
    Status status = Status::Pending;
};

std::optional<VideoItem::Status> statusFromRaw(const QString& raw);
QString rawValue(VideoItem::Status status);

// The path as text for display and names; bytes that are not UTF-8 show as replacement characters.
QString displayPath(const std::filesystem::path& path);
QString displayFileName(const std::filesystem::path& path);

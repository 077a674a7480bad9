// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/DateSource.h"
#include "common/GeoCoordinate.h"
#include "common/MediaKind.h"
#include "common/Montage.h"

#include <QByteArrayList>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QUuid>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// One media file of the work list with everything learnt about it. A plain value: copies are
// independent snapshots; only AppModel's list is the real thing, and items are found again by id.
struct VideoItem
{
    static constexpr int ThumbnailEdge = 192;

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
    // JPEG images, in time order, and the grid sent to the model. Once analysed, the pictures usually
    // live in the work list's picture cache on disk and these hold no image data: frameCount, the
    // montage's geometry and the small thumbnail stay here.
    QByteArrayList frames;
    std::optional<Montage> montage;
    int frameCount = 0;
    QByteArray thumbnail; // JPEG of the first frame, at most ThumbnailEdge pixels on its longer side
    QString analysisText;
    QString content;
    QString location;
    // Absent means never derived, which is not the same as derived but empty.
    std::optional<QString> pathPlace;
    // The folder the user added that holds the file, which bounds pathPlace; empty for a file added on
    // its own.
    std::filesystem::path addedFolder;
    std::optional<GeoCoordinate> coordinate;
    std::optional<QString> geoPlace;
    std::optional<QDateTime> creationDate;
    DateSource dateSource = DateSource::Metadata; // of creationDate, when there is one
    QString proposedName;
    Status status = Status::Pending;
    // The file's name before Velmora first renamed it, as bytes: the original-name part of a proposed
    // name comes from it, so names never nest. Empty when not known to have been renamed.
    std::string originalName;
    // The proposed name with which a rename found the file already so named, and left it alone.
    QString keptName;
    // The user typed the name or a part of it: it is renamed whatever the analysis gave.
    bool hasTypedName = false;
    // Fields the user edited by hand. A new analysis leaves them as they are (its reply still shows in
    // analysisText), and the catalogue keeps them apart from what the model said.
    bool contentByHand = false;
    bool locationByHand = false;
    bool nameByHand = false; // the whole proposed name was typed

    // What the last successful analysis was made with: a stored analysis is reused, and an analysed
    // item is left alone by the next run, only while all of it matches the current settings.
    struct AnalysisStamp
    {
        QString engine; // "ollama" or "openai"
        QString model;
        int frameCount = 0;
        int promptVersion = 0;
        qint64 durationMs = 0; // how long the model took; not part of the match
        QDateTime at;
        bool matches(const AnalysisStamp& other) const
        {
            return engine == other.engine && model == other.model && frameCount == other.frameCount
                && promptVersion == other.promptVersion;
        }
    };
    std::optional<AnalysisStamp> analysedWith;
    // Why the last rename of the file failed, as the user reads it; empty once a rename succeeds.
    QString renameFailure;

    // Sidecars beside the file (editing data, thumbnails, proxies, subtitles): renamed with it and
    // never items of their own.
    std::vector<std::filesystem::path> sidecars;
    // Length of a video when it was read: for clips that may be the moving half of a Live Photo.
    std::optional<double> durationSeconds;
    // The other halves of a RAW+JPEG pair or a Live Photo when they are in the list too: one analysis
    // (of the picture half), one name, renamed and undone together. The halves that are not sent to
    // the model follow their partner.
    QList<QUuid> partners;
    bool followsPartner = false;
    // Every other file that travels with this one: its partners and the sidecars of all of them.
    std::vector<std::filesystem::path> companions;
};

std::optional<VideoItem::Status> statusFromRaw(const QString& raw);
QString rawValue(VideoItem::Status status);

// The path as text for display and names; bytes that are not UTF-8 show as replacement characters.
QString displayPath(const std::filesystem::path& path);
QString displayFileName(const std::filesystem::path& path);

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "catalogue/FileIdentity.h"
#include "common/GeoCoordinate.h"
#include "common/MediaKind.h"
#include "common/VideoItem.h"

#include <QDateTime>
#include <QString>
#include <QUuid>

#include <filesystem>
#include <optional>
#include <vector>

// The values the catalogue stores and gives back. Plain copies: they cross from the interface thread to
// the writer thread and back from readers on any thread.
namespace Catalogue {

// What is known about a file's content, whatever it is called now.
struct FileRecord
{
    FileIdentity identity;
    FileStamp stamp;
    std::filesystem::path path; // where it was seen last; native bytes
    MediaKind kind = MediaKind::Video;
    std::optional<QDateTime> captureDate;
    QString captureSource; // which metadata gave the date, as the reader names it
    std::optional<QString> place; // from the folder names
    std::optional<GeoCoordinate> coordinate;
    friend bool operator==(const FileRecord&, const FileRecord&) = default;
};

// The settings an analysis depends on: a stored one is reused only when all of them match.
struct AnalysisKey
{
    QString engine;
    QString model;
    int frameCount = 0;
    int promptVersion = 0;

    friend bool operator==(const AnalysisKey&, const AnalysisKey&) = default;
};

struct AnalysisRecord
{
    AnalysisKey key;
    QString rawReply;
    QString content;
    QString placeGuess;
    qint64 durationMs = 0; // how long the model took
    QDateTime analyzedAt;
    friend bool operator==(const AnalysisRecord&, const AnalysisRecord&) = default;
};

// One row of the work list as the user left it. What the user typed is kept apart from what the model
// said: a field is set only when it was edited by hand.
struct SessionEntry
{
    QUuid id;
    qint64 position = 0;
    std::optional<FileIdentity> identity; // absent when the file could not be read
    std::filesystem::path path;
    MediaKind kind = MediaKind::Video;
    VideoItem::Status status = VideoItem::Status::Pending;
    QString proposedName;
    std::optional<QString> editedContent;
    std::optional<QString> editedPlace;
    std::optional<QString> editedName;
    QString errorText;
    std::vector<std::filesystem::path> companions;
    bool isSelected = false;
    // The rest of the item, in the form its owner writes and reads; stored as it is.
    QByteArray details;
    friend bool operator==(const SessionEntry&, const SessionEntry&) = default;
};

// What the user typed for a file, in whichever list entry: kept with the file's content, so it comes
// back when the file is added again. A field is set only when it was edited by hand.
struct HandEdits
{
    std::optional<QString> content;
    std::optional<QString> place;
    std::optional<QString> name; // the whole proposed name
    friend bool operator==(const HandEdits&, const HandEdits&) = default;
};

// A rename batch; its undo log stays the file it is, this only points at it.
struct BatchRecord
{
    std::filesystem::path undoLog;
    QDateTime renamedAt;
    int fileCount = 0;
    std::optional<QDateTime> undoneAt;
    friend bool operator==(const BatchRecord&, const BatchRecord&) = default;
};

// Everything one finished analysis leaves behind, written as one transaction.
struct FinishedItem
{
    FileRecord file;
    AnalysisRecord analysis;
    QByteArray thumbnail; // small JPEG; empty keeps the stored one
    SessionEntry entry; // not written when its id is null (a run that keeps no list)
};

} // namespace Catalogue

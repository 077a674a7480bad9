// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/FileDates.h"
#include "common/GeoCoordinate.h"
#include "common/MediaKind.h"
#include "common/Montage.h"

#include <QByteArrayList>
#include <QDateTime>

#include <filesystem>
#include <optional>

// What is asked of a decoder and what it answers, and the work itself as plain function calls. The
// worker process runs these functions; so does the caller when no worker can be started.

// The pictures of one file, with what travels along with them.
struct DecodeRequest
{
    std::filesystem::path path;
    MediaKind kind = MediaKind::Video;
    int frameCount = 4; // a video with none and inspect: only its duration
    int photoMaxSize = 1280;
    double montageQuality = 0.8;
    // For a report rather than an analysis: also the duration, and the position even when no
    // picture decodes.
    bool inspect = false;
    // Longest side of a small JPEG of the first picture, for lists; 0 for none.
    int thumbnailEdge = 0;
};

struct Decoded
{
    QByteArrayList frames; // empty when nothing decoded
    std::optional<Montage> montage;
    std::optional<GeoCoordinate> coordinate;
    std::optional<double> durationSeconds;
    QByteArray thumbnail;
    // Every picture is nearly one flat colour (a damaged file, or one holding only a thumbnail): not
    // worth asking the model about. Only for an analysis.
    bool isNearlyFlat = false;
};

struct DatedFile
{
    std::filesystem::path path;
    MediaKind kind = MediaKind::Video;
};

namespace DecodeJobs {

// Frames (or the photo), the montage and the GPS position. Never throws; safe on any thread.
Decoded decode(const DecodeRequest& request);

// The capture instant of a video or a photo as its metadata states it, and which metadata that was; the
// caller adds the fallbacks that need only the path (FileDates::complete). Never throws; safe on any
// thread.
std::optional<FileDates::CaptureDate> captureDate(const DatedFile& file);

// Loads now what the libraries would otherwise read from disk on first use (their modules, the time
// zone), and from then on has every file opened by opener: a new descriptor for a path, or -1. For a
// process that forbids itself to open files next.
void prepare(int (*opener)(const std::filesystem::path& path));

} // namespace DecodeJobs

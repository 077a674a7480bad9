// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/FileDates.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QDateTime>
#include <QString>

#include <filesystem>
#include <optional>

// Reads pictures and metadata out of media files. Stateless free functions: safe on any thread,
// never throw; a file that cannot be read gives an empty result.
namespace FrameExtractor {

// JPEG frames (quality 72) of the pictures on screen at D·i/(n+1), i = 1..n, with n = count clamped to
// 1..12: exact pictures, not the nearest key frames, turned upright by the stream's display matrix and
// fitted into 640 × 640. A picture that fails is left out; when all fail, the first picture that
// decodes stands in. No duration or no video stream gives an empty list. Bounded by a deadline.
QByteArrayList extractFrames(const std::filesystem::path& video, int count);

// The photo as one upright JPEG (quality 82) whose longer side is at most maxSize: never enlarged,
// sides rounded half away from zero, a strip too thin to scale kept at full size. Camera RAW uses its
// embedded preview when that is large enough. Empty when no decoder can read the file.
QByteArray extractImage(const std::filesystem::path& photo, int maxSize);

// A small JPEG of a picture this module made (a frame or a photo), its longer side at most maxEdge;
// empty when it does not decode.
QByteArray thumbnail(const QByteArray& jpeg, int maxEdge);

// Whether a JPEG is nearly one flat colour, as truncated RAW files and pruned HEIFs decode: what is left
// after noise and compression artefacts varies by about a level or less. A dark night scene or a white
// wall still varies by more. Empty or undecodable data is not flat.
bool isNearlyFlat(const QByteArray& jpeg);

// Length of a video in seconds, or nothing when unknown or the file has no video stream.
std::optional<double> durationSeconds(const std::filesystem::path& video);

// Capture instant of a video as its metadata states it: the QuickTime creation date (which carries the
// zone), then the container's and streams' creation_time. Decodes no frame. Dates before 1971 count as
// absent.
std::optional<QDateTime> creationDate(const std::filesystem::path& video);

// Capture instant of a photo as its metadata states it: EXIF date-time original (else digitized), then
// the TIFF date-time, then XMP's exif:DateTimeOriginal, xmp:CreateDate and photoshop:DateCreated. EXIF
// times are local wall-clock times. Dates before 1971 count as absent.
std::optional<QDateTime> photoCreationDate(const std::filesystem::path& photo);
// The same date and the metadata that gave it: DateSource::Metadata for EXIF, DateSource::Xmp for XMP.
std::optional<FileDates::CaptureDate> photoCaptureDate(const std::filesystem::path& photo);

// "yyyy:MM:dd HH:mm:ss", "yyyy:MM:dd HH:mm" or "yyyy-MM-dd'T'HH:mm:ss", as local time.
std::optional<QDateTime> parseExifDate(QStringView text);

// ISO 8601 date-time: with a zone ("Z", "+08:00", "+0800") it is that instant; without one it is
// local wall-clock time. Seconds and their fraction are optional.
std::optional<QDateTime> parseVideoDate(QStringView text);

} // namespace FrameExtractor

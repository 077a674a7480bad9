// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

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
// fitted into 640 × 640. A picture that fails is left out; no duration or no video stream gives an
// empty list. Bounded by a deadline.
QByteArrayList extractFrames(const std::filesystem::path& video, int count);

// The photo as one upright JPEG (quality 82) whose longer side is at most maxSize: never enlarged,
// sides rounded half away from zero, a strip too thin to scale kept at full size. Camera RAW uses its
// embedded preview when that is large enough. Empty when no decoder can read the file.
QByteArray extractImage(const std::filesystem::path& photo, int maxSize);

// A small JPEG of a picture this module made (a frame or a photo), its longer side at most maxEdge;
// empty when it does not decode.
QByteArray thumbnail(const QByteArray& jpeg, int maxEdge);

// Length of a video in seconds, or nothing when unknown or the file has no video stream.
std::optional<double> durationSeconds(const std::filesystem::path& video);

// Capture instant of a video: the QuickTime creation date (which carries the zone), then the
// container's and streams' creation_time, then the file's birth time. Decodes no frame. Embedded dates
// before 1971 count as absent.
std::optional<QDateTime> creationDate(const std::filesystem::path& video);

// Capture instant of a photo: EXIF date-time original (else digitized), then the TIFF date-time, then
// XMP's exif:DateTimeOriginal and xmp:CreateDate, then the file's birth time. EXIF times are local
// wall-clock times. Embedded dates before 1971 count as absent.
std::optional<QDateTime> photoCreationDate(const std::filesystem::path& photo);

// "yyyy:MM:dd HH:mm:ss", "yyyy:MM:dd HH:mm" or "yyyy-MM-dd'T'HH:mm:ss", as local time.
std::optional<QDateTime> parseExifDate(QStringView text);

// ISO 8601 date-time: with a zone ("Z", "+08:00", "+0800") it is that instant; without one it is
// local wall-clock time. Seconds and their fraction are optional.
std::optional<QDateTime> parseVideoDate(QStringView text);

// When the file system recorded the file's creation (statx birth time), to the second, or nothing. Its
// fraction of a second tells nothing about when the picture was taken.
std::optional<QDateTime> fileBirthTime(const std::filesystem::path& file);

} // namespace FrameExtractor

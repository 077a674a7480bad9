// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <filesystem>

// Makes test media with Debian's command-line tools (ffmpeg, exiv2, exiftool, vips, convert).
namespace MediaFixtures {

// Whether a tool is on PATH; tests QSKIP without it.
bool hasTool(const QString& program);

// Runs a tool to completion (60 s at most). False, with its output logged, when it fails.
bool run(const QString& program, const QStringList& arguments);

// The native path of a file name as Qt spells it.
std::filesystem::path fsPath(const QString& path);

// Puts content at path, creating its folder. Four words stand for what a folder of media may also hold
// under a media name: "fifo", "device" (a link to /dev/zero), "folder", and "missing" (nothing at all).
bool place(const QString& path, const QByteArray& content);

// The whole content of a file, or nothing.
QByteArray readAll(const QString& path);

// A small red JPEG (width × height) at path, its bottom-right corner blue: not one flat colour, which
// an analysis would refuse.
bool makeJpeg(const QString& path, int width = 64, int height = 48);

// A short test-pattern H.264 clip; extra arguments go before the output name (for -metadata ...).
bool makeClip(const QString& path, double seconds = 1.0, const QStringList& extra = {});

// Sets EXIF tags with exiv2, each as "Exif.Photo.DateTimeOriginal 2026:09:18 14:03:12".
bool setExif(const QString& path, const QStringList& assignments);

// A clip from an FFmpeg lavfi source graph, encoded with outputArguments (codec, GOP, container
// options), which go right before the output name.
bool makeVideo(const QString& path, const QString& lavfiSource, const QStringList& outputArguments);

// A minimal DNG: a width × height Bayer mosaic (RGGB, 12-bit, every sample = level) and, when
// previewJpeg is not empty, that JPEG as the embedded preview of size previewWidth × previewHeight.
// The EXIF orientation goes into the main directory. No Debian tool writes camera RAW files.
bool makeDng(const QString& path,
    int width,
    int height,
    int level,
    const QByteArray& previewJpeg = {},
    int previewWidth = 0,
    int previewHeight = 0,
    int orientation = 1);

} // namespace MediaFixtures

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "media/ImageCodec.h"

#include <QByteArray>

#include <filesystem>

// Camera RAW through LibRaw: the embedded preview when it is large enough, else a full decode. Internal
// to the media module; any thread (links the thread-safe libraw_r).
namespace RawDecoder {

// Upright JPEG within maxSize by the photo downscale rule, or empty when LibRaw cannot read the file.
QByteArray decode(
    const std::filesystem::path& file, int maxSize, int quality, ImageCodec::Clock::time_point deadline);

// The EXIF orientation (1..8) that LibRaw's flip code stands for.
int orientationFromFlip(int flip);

} // namespace RawDecoder

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>

// GLib's headers name a struct member "signals", which Qt defines as a keyword macro.
#pragma push_macro("signals")
#undef signals
#include <vips/vips.h>
#pragma pop_macro("signals")

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

// libvips plumbing shared by photos, video frames and the montage: owned handles, safe file opening,
// the downscale rule, bounded decoding and JPEG encoding. Internal to the media module; any thread.
namespace ImageCodec {

using Clock = std::chrono::steady_clock;

// Pictures above this are refused before any pixel is decoded: a few bytes of header can claim
// dimensions that would take tens of gigabytes.
constexpr int64_t MaxPixels = 256'000'000;

struct GObjectUnref
{
    void operator()(void* object) const
    {
        if (object)
            g_object_unref(object);
    }
};
using ImagePtr = std::unique_ptr<VipsImage, GObjectUnref>;
using SourcePtr = std::unique_ptr<VipsSource, GObjectUnref>;

struct Size
{
    int width = 0;
    int height = 0;
    friend bool operator==(const Size&, const Size&) = default;
};

// The photo downscale rule: scale so the longer side (the height when both are equal) becomes maxSize,
// each side rounded half away from zero. Nothing when the picture stays as it is: it already fits
// (pictures are never enlarged) or a side would round to 0 (a very thin strip keeps its full size).
std::optional<Size> scaledSize(int width, int height, int maxSize);

// A source reading this file, or nothing when it is not a regular file or cannot be opened. Never
// blocks on a FIFO or a device.
SourcePtr openSource(const std::filesystem::path& file);

// Reads a whole regular file of at most maxBytes, or nothing.
std::optional<QByteArray> readFile(const std::filesystem::path& file, int64_t maxBytes);

enum class Loader
{
    Heif,
    Plain,
    Refused,
};

// Only the raster loaders of the accepted formats are used: a mislabelled file must not reach libvips'
// PDF, SVG or scientific-format loaders. Takes the name vips_foreign_find_load* gives.
Loader classifyLoader(const char* loaderName);

bool withinPixelLimit(const VipsImage* image);

// 8-bit sRGB (or grey) without transparency, flattened onto black.
ImagePtr toRgb8(VipsImage* image);

// Exactly width × height, whatever the aspect ratio of the input (callers keep it themselves).
ImagePtr resizeExact(VipsImage* image, int width, int height);

// Puts the picture upright for an EXIF orientation 2..8; other values leave it as it is.
ImagePtr applyOrientation(VipsImage* image, int orientation);

// Baseline JPEG without metadata, 8-bit sRGB or grey, transparency flattened onto black. Empty when
// encoding fails or the deadline passes first.
QByteArray encodeJpeg(VipsImage* image, int quality, Clock::time_point deadline);

// JPEG from packed 8-bit RGB rows.
QByteArray encodeRgbJpeg(const uint8_t* rgb, int width, int height, int quality, Clock::time_point deadline);

// Quality 0..1 as the encoder's 1..100.
int jpegQuality(double quality);

// Clears libvips' process-wide error text after a failure, so it cannot grow without bound.
void forgetErrors();

} // namespace ImageCodec

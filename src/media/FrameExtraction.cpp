// SPDX-License-Identifier: GPL-3.0-or-later
#include "media/FrameExtractor.h"
#include "media/ImageCodec.h"
#include "media/MediaLibraries.h"
#include "media/RawDecoder.h"
#include "media/VideoFrames.h"

#include <algorithm>
#include <array>
#include <string_view>

using ImageCodec::Clock;
using ImageCodec::ImagePtr;
using ImageCodec::Loader;

namespace {

constexpr int PhotoQuality = 82;
constexpr std::chrono::seconds PhotoBudget { 30 };
// A picture whose luma varies by less than this many levels (standard deviation) once shrunk by
// FlatShrink is taken for one flat colour.
constexpr int FlatShrink = 8;
constexpr double FlatDeviation = 1.0;
// The fallback loader reads the whole file into memory first.
constexpr int64_t MaxFallbackBytes = 512 * 1024 * 1024;

// LibRaw tells the formats apart by content (CRW is a CIFF file, the others TIFF or ISO based).
constexpr std::array RawExtensions { "cr3", "nef", "arw", "raf", "rw2", "orf", "dng", "cr2", "crw", "pef",
    "srw", "nrw" };

bool isRawName(const std::filesystem::path& file)
{
    std::string extension = file.extension().native();
    if (extension.size() < 2)
        return false;
    extension.erase(0, 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
        [](unsigned char c) { return char(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    return std::find(RawExtensions.begin(), RawExtensions.end(), std::string_view(extension))
        != RawExtensions.end();
}

int orientationOf(VipsImage* image)
{
    int orientation = 1;
    if (vips_image_get_typeof(image, VIPS_META_ORIENTATION)
        && vips_image_get_int(image, VIPS_META_ORIENTATION, &orientation))
        ImageCodec::forgetErrors();
    return orientation >= 1 && orientation <= 8 ? orientation : 1;
}

// The main path: libvips' own loaders, EXIF orientation applied, shrink-on-load where the format has it.
QByteArray decodeWithVips(const std::filesystem::path& file, int maxSize, Clock::time_point deadline)
{
    ImageCodec::SourcePtr source = ImageCodec::openSource(file);
    if (!source)
        return {};
    const Loader loader = ImageCodec::classifyLoader(vips_foreign_find_load_source(source.get()));
    if (loader == Loader::Refused) {
        ImageCodec::forgetErrors();
        return {};
    }
    ImagePtr header(vips_image_new_from_source(source.get(), "", nullptr));
    if (!header || !ImageCodec::withinPixelLimit(header.get())) {
        ImageCodec::forgetErrors();
        return {};
    }
    // libheif has already applied the container's rotation and mirroring; EXIF orientation in a HEIF
    // file is informational only, and applying it would turn the picture twice.
    const int orientation = loader == Loader::Heif ? 1 : orientationOf(header.get());
    const bool swap = orientation >= 5;
    const int width = vips_image_get_width(header.get());
    const int height = vips_image_get_height(header.get());

    ImagePtr picture;
    if (const auto size = ImageCodec::scaledSize(swap ? height : width, swap ? width : height, maxSize)) {
        VipsImage* out = nullptr;
        // The requested size is the upright one; vips_thumbnail turns before it sizes.
        if (vips_thumbnail_source(source.get(), &out, size->width, "height", size->height, "size",
                VIPS_SIZE_FORCE, "no_rotate", loader == Loader::Heif, nullptr)) {
            ImageCodec::forgetErrors();
            return {};
        }
        picture.reset(out);
    } else {
        picture = loader == Loader::Heif ? std::move(header)
                                         : ImageCodec::applyOrientation(header.get(), orientation);
    }
    return picture ? ImageCodec::encodeJpeg(picture.get(), PhotoQuality, deadline) : QByteArray();
}

// Raster signatures the fallback accepts. ImageMagick also understands scripts and vector formats
// (MVG, MSL, SVG); those never reach it.
bool looksLikeRaster(const QByteArray& data)
{
    const auto bytes = reinterpret_cast<const unsigned char*>(data.constData());
    const qsizetype n = data.size();
    auto at = [&](qsizetype offset, std::string_view magic) {
        return n >= offset + qsizetype(magic.size())
            && std::equal(magic.begin(), magic.end(), bytes + offset,
                [](char a, unsigned char b) { return static_cast<unsigned char>(a) == b; });
    };
    return at(0, "BM") || at(0, "\xFF\xD8\xFF") || at(0, "\x89PNG") || at(0, std::string_view("II*\0", 4))
        || at(0, std::string_view("MM\0*", 4)) || (at(0, "RIFF") && at(8, "WEBP")) || at(4, "ftyp")
        || at(0, "GIF8");
}

// The second loader: ImageMagick through libvips, for what the first cannot read (BMP among them). As
// on the platform this replaces, it applies no orientation.
QByteArray decodeWithMagick(const std::filesystem::path& file, int maxSize, Clock::time_point deadline)
{
    const std::optional<QByteArray> data = ImageCodec::readFile(file, MaxFallbackBytes);
    if (!data || !looksLikeRaster(*data))
        return {};
    VipsImage* loaded = nullptr;
    // From memory: ImageMagick would read a prefix such as "msl:" in a file name as a format request.
    if (vips_magickload_buffer(
            const_cast<char*>(data->constData()), size_t(data->size()), &loaded, nullptr)) {
        ImageCodec::forgetErrors();
        return {};
    }
    ImagePtr image(loaded);
    if (!ImageCodec::withinPixelLimit(image.get()))
        return {};
    const auto size = ImageCodec::scaledSize(
        vips_image_get_width(image.get()), vips_image_get_height(image.get()), maxSize);
    if (size) {
        ImagePtr scaled = ImageCodec::resizeExact(image.get(), size->width, size->height);
        return scaled ? ImageCodec::encodeJpeg(scaled.get(), PhotoQuality, deadline) : QByteArray();
    }
    return ImageCodec::encodeJpeg(image.get(), PhotoQuality, deadline);
}

} // namespace

namespace FrameExtractor {

QByteArrayList extractFrames(const std::filesystem::path& video, int count)
{
    return VideoFrames::extract(video, count);
}

QByteArray thumbnail(const QByteArray& jpeg, int maxEdge)
{
    MediaLibraries::initialize();
    if (jpeg.isEmpty() || maxEdge < 1)
        return {};
    VipsImage* out = nullptr;
    if (vips_thumbnail_buffer(const_cast<char*>(jpeg.constData()), size_t(jpeg.size()), &out, maxEdge,
            "height", maxEdge, "size", VIPS_SIZE_DOWN, nullptr)) {
        ImageCodec::forgetErrors();
        vips_thread_shutdown();
        return {};
    }
    ImagePtr small(out);
    QByteArray result = ImageCodec::encodeJpeg(small.get(), 80, Clock::now() + std::chrono::seconds(5));
    small.reset();
    vips_thread_shutdown();
    return result;
}

bool isNearlyFlat(const QByteArray& jpeg)
{
    MediaLibraries::initialize();
    if (jpeg.isEmpty())
        return false;
    // Shrinking on load averages 8 × 8 blocks: sensor noise and compression artefacts cancel out, while
    // light falling across a wall or a few lamps in the dark keep the picture's spread.
    VipsImage* loaded = nullptr;
    if (vips_jpegload_buffer(const_cast<char*>(jpeg.constData()), size_t(jpeg.size()), &loaded, "shrink",
            FlatShrink, nullptr)) {
        ImageCodec::forgetErrors();
        return false;
    }
    ImagePtr image(loaded);
    ImagePtr rgb = ImageCodec::withinPixelLimit(image.get()) ? ImageCodec::toRgb8(image.get()) : nullptr;
    size_t size = 0;
    void* memory = rgb ? vips_image_write_to_memory(rgb.get(), &size) : nullptr;
    if (!memory) {
        ImageCodec::forgetErrors();
        vips_thread_shutdown();
        return false;
    }
    // Luma (BT.601) of each pixel: colour noise of a camera or a decoder does not count.
    const int bands = vips_image_get_bands(rgb.get());
    const auto* pixels = static_cast<const uint8_t*>(memory);
    const size_t count = size / size_t(bands);
    double sum = 0, squares = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* pixel = pixels + i * size_t(bands);
        const double luma = bands >= 3 ? 0.299 * pixel[0] + 0.587 * pixel[1] + 0.114 * pixel[2] : pixel[0];
        sum += luma;
        squares += luma * luma;
    }
    const double mean = count > 0 ? sum / double(count) : 0;
    const bool flat = count > 0 && squares / double(count) - mean * mean < FlatDeviation * FlatDeviation;
    g_free(memory);
    vips_thread_shutdown();
    return flat;
}

std::optional<double> durationSeconds(const std::filesystem::path& video)
{
    return VideoFrames::duration(video);
}

QByteArray extractImage(const std::filesystem::path& photo, int maxSize)
{
    MediaLibraries::initialize();
    if (!MediaLibraries::isRegularFile(photo))
        return {};
    const Clock::time_point deadline = Clock::now() + PhotoBudget;
    QByteArray jpeg;
    try {
        const bool raw = isRawName(photo);
        if (raw)
            jpeg = RawDecoder::decode(photo, maxSize, PhotoQuality, deadline);
        if (jpeg.isEmpty())
            jpeg = decodeWithVips(photo, maxSize, deadline);
        if (jpeg.isEmpty())
            jpeg = decodeWithMagick(photo, maxSize, deadline);
    } catch (...) {
        jpeg.clear();
    }
    vips_thread_shutdown();
    return jpeg;
}

} // namespace FrameExtractor

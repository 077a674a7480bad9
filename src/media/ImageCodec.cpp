// SPDX-License-Identifier: GPL-3.0-or-later
#include "media/ImageCodec.h"

#include "media/MediaLibraries.h"

#include <algorithm>
#include <cmath>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace ImageCodec {

namespace {

struct EvalGuard
{
    Clock::time_point deadline;
};

// libvips calls this between tiles while it computes an image; killing the image ends the computation.
void stopAfterDeadline(VipsImage* image, VipsProgress*, void* data)
{
    if (Clock::now() > static_cast<EvalGuard*>(data)->deadline)
        vips_image_set_kill(image, TRUE);
}

} // namespace

std::optional<Size> scaledSize(int width, int height, int maxSize)
{
    const int longer = width > height ? width : height;
    if (maxSize >= longer || longer <= 0)
        return std::nullopt;
    const double scale = double(maxSize) / double(longer);
    const Size size { int(std::round(width * scale)), int(std::round(height * scale)) };
    if (size.width < 1 || size.height < 1)
        return std::nullopt;
    return size;
}

SourcePtr openSource(const std::filesystem::path& file)
{
    const int fd = MediaLibraries::openForReading(file);
    if (fd < 0)
        return nullptr;
    // libvips 8.14 duplicates the descriptor, so ours is closed here either way.
    SourcePtr source(vips_source_new_from_descriptor(fd));
    ::close(fd);
    if (!source)
        forgetErrors();
    return source;
}

std::optional<QByteArray> readFile(const std::filesystem::path& file, int64_t maxBytes)
{
    const int fd = MediaLibraries::openForReading(file);
    if (fd < 0)
        return std::nullopt;
    struct stat st
    { };
    std::optional<QByteArray> result;
    if (::fstat(fd, &st) == 0 && st.st_size > 0 && st.st_size <= maxBytes) {
        QByteArray data(qsizetype(st.st_size), Qt::Uninitialized);
        qsizetype done = 0;
        while (done < data.size()) {
            const ssize_t got = ::read(fd, data.data() + done, size_t(data.size() - done));
            if (got <= 0)
                break;
            done += got;
        }
        if (done == data.size())
            result = std::move(data);
    }
    ::close(fd);
    return result;
}

Loader classifyLoader(const char* loaderName)
{
    if (!loaderName)
        return Loader::Refused;
    const std::string_view name(loaderName);
    if (name.starts_with("VipsForeignLoadHeif"))
        return Loader::Heif;
    for (const std::string_view allowed :
        { "VipsForeignLoadJpeg", "VipsForeignLoadPng", "VipsForeignLoadSpng", "VipsForeignLoadWebp",
            "VipsForeignLoadTiff", "VipsForeignLoadNsgif", "VipsForeignLoadGif" }) {
        if (name.starts_with(allowed))
            return Loader::Plain;
    }
    return Loader::Refused;
}

bool withinPixelLimit(const VipsImage* image)
{
    const int64_t width = vips_image_get_width(image);
    const int64_t height = vips_image_get_height(image);
    return width > 0 && height > 0 && width * height <= MaxPixels;
}

ImagePtr resizeExact(VipsImage* image, int width, int height)
{
    VipsImage* out = nullptr;
    if (vips_thumbnail_image(
            image, &out, width, "height", height, "size", VIPS_SIZE_FORCE, "no_rotate", TRUE, nullptr)) {
        forgetErrors();
        return nullptr;
    }
    return ImagePtr(out);
}

ImagePtr applyOrientation(VipsImage* image, int orientation)
{
    // Turning reads the picture out of order, which a sequential pipeline (a shrinking JPEG decoder)
    // cannot do; the picture is at most 1280 pixels by now, so it goes to memory first.
    VipsImage* copy = orientation >= 2 && orientation <= 8 ? vips_image_copy_memory(image) : nullptr;
    if (orientation >= 2 && orientation <= 8 ? !copy : vips_copy(image, &copy, nullptr)) {
        forgetErrors();
        return nullptr;
    }
    ImagePtr tagged(copy);
    if (orientation < 2 || orientation > 8)
        return tagged;
    vips_image_set_int(tagged.get(), VIPS_META_ORIENTATION, orientation);
    VipsImage* upright = nullptr;
    if (vips_autorot(tagged.get(), &upright, nullptr)) {
        forgetErrors();
        return nullptr;
    }
    return ImagePtr(upright);
}

namespace {

// Runs one libvips operation on current and puts its output in its place. The output pointer is read
// only after the operation has run: never hand it to a call in the same expression that fills it.
template <typename Operation> bool replaceBy(ImagePtr& current, Operation&& operation)
{
    VipsImage* out = nullptr;
    const int rc = operation(current.get(), &out);
    if (rc != 0 || !out) {
        if (out)
            g_object_unref(out);
        forgetErrors();
        return false;
    }
    current.reset(out);
    return true;
}

bool isGrey(VipsInterpretation space)
{
    return space == VIPS_INTERPRETATION_B_W || space == VIPS_INTERPRETATION_GREY16;
}

// Thermal and scientific cameras write 16-bit grey whose values fill a small part of the range; shown
// as they are, they are one flat grey. Those are stretched to the full 8-bit range; ordinary 16-bit
// pictures keep their tones.
bool stretchNarrowGrey16(ImagePtr& current)
{
    double low = 0.0, high = 0.0;
    if (vips_min(current.get(), &low, nullptr) || vips_max(current.get(), &high, nullptr)) {
        forgetErrors();
        return false;
    }
    constexpr double NarrowRange = 65535.0 / 8.0;
    if (high - low >= NarrowRange)
        return false;
    const double scale = high > low ? 255.0 / (high - low) : 0.0;
    const double offset = -low * scale;
    return replaceBy(current, [&](VipsImage* in, VipsImage** out) {
        return vips_linear1(in, out, scale, offset, "uchar", TRUE, nullptr);
    }) && replaceBy(current, [](VipsImage* in, VipsImage** out) {
        return vips_copy(in, out, "interpretation", VIPS_INTERPRETATION_B_W, nullptr);
    });
}

} // namespace

ImagePtr toRgb8(VipsImage* image)
{
    if (!image)
        return nullptr;
    VipsImage* copy = nullptr;
    if (vips_copy(image, &copy, nullptr)) {
        forgetErrors();
        return nullptr;
    }
    ImagePtr current(copy);

    // Colour first, alpha still attached: the conversions scale alpha with the colour bands, so the
    // flattening below always works on 8-bit alpha.
    const VipsInterpretation space = vips_image_guess_interpretation(current.get());
    const bool isUchar = vips_image_get_format(current.get()) == VIPS_FORMAT_UCHAR;
    const bool hasAlpha = vips_image_hasalpha(current.get());
    const int colourBands = vips_image_get_bands(current.get()) - (hasAlpha ? 1 : 0);
    if (!(isUchar && (space == VIPS_INTERPRETATION_sRGB || space == VIPS_INTERPRETATION_B_W))) {
        bool converted = false;
        // CMYK, Adobe RGB, Lab with a profile: the file's own profile gives its true colours.
        if (!isGrey(space) && vips_image_get_typeof(current.get(), VIPS_META_ICC_NAME)) {
            converted = replaceBy(current, [](VipsImage* in, VipsImage** out) {
                return vips_icc_transform(in, out, "srgb", "embedded", TRUE, "depth", 8, nullptr);
            });
        }
        if (!converted && space == VIPS_INTERPRETATION_GREY16 && colourBands == 1 && !hasAlpha)
            converted = stretchNarrowGrey16(current);
        if (!converted) {
            const VipsInterpretation target
                = isGrey(space) || colourBands < 3 ? VIPS_INTERPRETATION_B_W : VIPS_INTERPRETATION_sRGB;
            if (!replaceBy(current, [target](VipsImage* in, VipsImage** out) {
                    return vips_colourspace(in, out, target, nullptr);
                }))
                return nullptr;
        }
    }
    if (vips_image_hasalpha(current.get())) {
        const VipsInterpretation now = vips_image_guess_interpretation(current.get());
        const double maxAlpha
            = now == VIPS_INTERPRETATION_RGB16 || now == VIPS_INTERPRETATION_GREY16 ? 65535.0 : 255.0;
        if (!replaceBy(current, [maxAlpha](VipsImage* in, VipsImage** out) {
                double black[] = { 0.0 };
                VipsArrayDouble* background = vips_array_double_new(black, 1);
                const int rc
                    = vips_flatten(in, out, "background", background, "max_alpha", maxAlpha, nullptr);
                vips_area_unref(VIPS_AREA(background));
                return rc;
            }))
            return nullptr;
    }
    // Whatever is left (a float picture the conversions passed through) is clipped to 0..255.
    if (vips_image_get_format(current.get()) != VIPS_FORMAT_UCHAR
        && !replaceBy(current,
            [](VipsImage* in, VipsImage** out) { return vips_cast(in, out, VIPS_FORMAT_UCHAR, nullptr); }))
        return nullptr;
    // JPEG takes one or three bands.
    const int bands = vips_image_get_bands(current.get());
    if (bands != 1 && bands != 3 && !replaceBy(current, [bands](VipsImage* in, VipsImage** out) {
            return vips_extract_band(in, out, 0, "n", bands > 3 ? 3 : 1, nullptr);
        }))
        return nullptr;
    return current;
}

QByteArray encodeJpeg(VipsImage* image, int quality, Clock::time_point deadline)
{
    ImagePtr ready = toRgb8(image);
    if (!ready)
        return {};
    VipsImage* in = ready.get();
    EvalGuard guard { deadline };
    vips_image_set_progress(in, TRUE);
    g_signal_connect(in, "eval", G_CALLBACK(stopAfterDeadline), &guard);
    void* buffer = nullptr;
    size_t length = 0;
    const int rc = vips_jpegsave_buffer(
        in, &buffer, &length, "Q", std::clamp(quality, 1, 100), "strip", TRUE, nullptr);
    g_signal_handlers_disconnect_by_data(in, &guard);
    if (rc || !buffer || Clock::now() > deadline) {
        g_free(buffer);
        forgetErrors();
        return {};
    }
    QByteArray jpeg(static_cast<const char*>(buffer), qsizetype(length));
    g_free(buffer);
    return jpeg;
}

QByteArray encodeRgbJpeg(const uint8_t* rgb, int width, int height, int quality, Clock::time_point deadline)
{
    ImagePtr image(vips_image_new_from_memory(
        rgb, size_t(width) * size_t(height) * 3, width, height, 3, VIPS_FORMAT_UCHAR));
    if (!image) {
        forgetErrors();
        return {};
    }
    image->Type = VIPS_INTERPRETATION_sRGB;
    return encodeJpeg(image.get(), quality, deadline);
}

int jpegQuality(double quality)
{
    if (!(quality == quality))
        return 1;
    return std::clamp(int(std::lround(quality * 100.0)), 1, 100);
}

void forgetErrors()
{
    vips_error_clear();
}

} // namespace ImageCodec

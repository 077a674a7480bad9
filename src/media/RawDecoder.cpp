// SPDX-License-Identifier: GPL-3.0-or-later
#include "media/RawDecoder.h"

#include "media/MediaFiles.h"
#include "media/MediaLibraries.h"

#include <algorithm>
#include <libraw/libraw.h>
#include <memory>
#include <new>
#include <string_view>

namespace RawDecoder {

namespace {

using ImageCodec::Clock;
using ImageCodec::ImagePtr;

struct ProcessedFree
{
    void operator()(libraw_processed_image_t* image) const
    {
        LibRaw::dcraw_clear_mem(image);
    }
};
using ProcessedPtr = std::unique_ptr<libraw_processed_image_t, ProcessedFree>;

int cancelAfterDeadline(void* data, LibRaw_progress, int, int)
{
    return Clock::now() > *static_cast<const Clock::time_point*>(data) ? 1 : 0;
}

// LibRaw's default handlers print to standard error; a damaged file is simply one without a picture.
void ignoreDataError(void*, const char*, const int) { }
void ignoreMemoryError(void*, const char*, const char*) { }

QByteArray fromPreview(const libraw_processed_image_t& preview,
    int orientation,
    int fullLonger,
    int maxSize,
    int quality,
    Clock::time_point deadline)
{
    ImagePtr image;
    if (preview.type == LIBRAW_IMAGE_JPEG) {
        // Whatever the RAW calls its preview, only the JPEG loader may read it.
        const char* loader = vips_foreign_find_load_buffer(preview.data, preview.data_size);
        if (loader && std::string_view(loader).starts_with("VipsForeignLoadJpeg"))
            image.reset(vips_image_new_from_buffer(preview.data, preview.data_size, "", nullptr));
    } else if (preview.type == LIBRAW_IMAGE_BITMAP && preview.bits == 8
        && (preview.colors == 3 || preview.colors == 1) && preview.width > 0 && preview.height > 0
        && size_t(preview.width) * preview.height * preview.colors <= preview.data_size) {
        image.reset(vips_image_new_from_memory(preview.data, preview.data_size, preview.width, preview.height,
            preview.colors, VIPS_FORMAT_UCHAR));
        if (image)
            image->Type = preview.colors == 3 ? VIPS_INTERPRETATION_sRGB : VIPS_INTERPRETATION_B_W;
    }
    if (!image || !ImageCodec::withinPixelLimit(image.get())) {
        ImageCodec::forgetErrors();
        return {};
    }
    const int width = vips_image_get_width(image.get());
    const int height = vips_image_get_height(image.get());
    // Too small to stand in for the photo: decode the sensor data instead.
    if (std::max(width, height) < std::min(maxSize, fullLonger))
        return {};
    // The preview is stored as the sensor saw it; the RAW's own orientation turns it.
    const bool swap = orientation >= 5;
    ImagePtr picture;
    if (const auto size = ImageCodec::scaledSize(swap ? height : width, swap ? width : height, maxSize)) {
        const int scaledWidth = swap ? size->height : size->width;
        const int scaledHeight = swap ? size->width : size->height;
        ImagePtr scaled;
        if (preview.type == LIBRAW_IMAGE_JPEG) {
            // Straight from the JPEG data, so that libjpeg shrinks while decoding (a full-size preview
            // is as large as the sensor).
            VipsImage* out = nullptr;
            if (vips_thumbnail_buffer(const_cast<unsigned char*>(preview.data), preview.data_size, &out,
                    scaledWidth, "height", scaledHeight, "size", VIPS_SIZE_FORCE, "no_rotate", TRUE, nullptr)
                == 0)
                scaled.reset(out);
            else
                ImageCodec::forgetErrors();
        } else {
            scaled = ImageCodec::resizeExact(image.get(), scaledWidth, scaledHeight);
        }
        if (!scaled)
            return {};
        picture = ImageCodec::applyOrientation(scaled.get(), orientation);
    } else {
        picture = ImageCodec::applyOrientation(image.get(), orientation);
    }
    return picture ? ImageCodec::encodeJpeg(picture.get(), quality, deadline) : QByteArray();
}

QByteArray fromSensor(LibRaw& raw, int maxSize, int quality, Clock::time_point deadline)
{
    libraw_output_params_t& params = raw.imgdata.params;
    params.use_camera_wb = 1;
    params.output_bps = 8;
    // Half size skips demosaicing altogether and is still larger than the picture we keep.
    const int longer = std::max(raw.imgdata.sizes.width, raw.imgdata.sizes.height);
    params.half_size = longer / 2 >= maxSize ? 1 : 0;
    if (raw.unpack() != LIBRAW_SUCCESS || raw.dcraw_process() != LIBRAW_SUCCESS)
        return {};
    int error = 0;
    // The processed image already has the RAW's orientation applied.
    ProcessedPtr processed(raw.dcraw_make_mem_image(&error));
    if (!processed || processed->type != LIBRAW_IMAGE_BITMAP || processed->bits != 8
        || (processed->colors != 3 && processed->colors != 1))
        return {};
    ImagePtr image(vips_image_new_from_memory(processed->data, processed->data_size, processed->width,
        processed->height, processed->colors, VIPS_FORMAT_UCHAR));
    if (!image) {
        ImageCodec::forgetErrors();
        return {};
    }
    image->Type = processed->colors == 3 ? VIPS_INTERPRETATION_sRGB : VIPS_INTERPRETATION_B_W;
    if (const auto size = ImageCodec::scaledSize(processed->width, processed->height, maxSize)) {
        ImagePtr scaled = ImageCodec::resizeExact(image.get(), size->width, size->height);
        return scaled ? ImageCodec::encodeJpeg(scaled.get(), quality, deadline) : QByteArray();
    }
    return ImageCodec::encodeJpeg(image.get(), quality, deadline);
}

} // namespace

int orientationFromFlip(int flip)
{
    // LibRaw keeps dcraw's flip codes: bit 2 swaps the axes, bits 0 and 1 mirror.
    static constexpr int Orientation[8] = { 1, 2, 4, 3, 5, 8, 6, 7 };
    return flip >= 0 && flip < 8 ? Orientation[flip] : 1;
}

QByteArray decode(const std::filesystem::path& file, int maxSize, int quality, Clock::time_point deadline)
{
    if (!MediaLibraries::isRegularFile(file))
        return {};
    try {
        // LibRaw's object is large; it goes on the heap.
        std::unique_ptr<LibRaw> raw(new (std::nothrow) LibRaw(LIBRAW_OPTIONS_NONE));
        if (!raw)
            return {};
        Clock::time_point limit = deadline;
        raw->set_progress_handler(cancelAfterDeadline, &limit);
        raw->set_dataerror_handler(ignoreDataError, nullptr);
        raw->set_memerror_handler(ignoreMemoryError, nullptr);
        // LibRaw only reads the buffer it is given.
        const MediaFiles::Mapping mapped(file);
        if (!mapped.data()
            || raw->open_buffer(const_cast<unsigned char*>(mapped.data()), mapped.size()) != LIBRAW_SUCCESS)
            return {};
        const libraw_image_sizes_t& sizes = raw->imgdata.sizes;
        if (sizes.raw_width == 0 || sizes.raw_height == 0
            || int64_t(sizes.raw_width) * sizes.raw_height > ImageCodec::MaxPixels)
            return {};
        const int orientation = orientationFromFlip(sizes.flip);
        const int fullLonger = std::max<int>(sizes.width, sizes.height);

        if (raw->unpack_thumb() == LIBRAW_SUCCESS) {
            int error = 0;
            ProcessedPtr preview(raw->dcraw_make_mem_thumb(&error));
            if (preview) {
                QByteArray jpeg = fromPreview(*preview, orientation, fullLonger, maxSize, quality, deadline);
                if (!jpeg.isEmpty())
                    return jpeg;
            }
        }
        if (Clock::now() > deadline)
            return {};
        return fromSensor(*raw, maxSize, quality, deadline);
    } catch (...) {
        // LibRaw reports its own failures as codes; this is allocation failure.
        return {};
    }
}

} // namespace RawDecoder

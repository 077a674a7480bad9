// SPDX-License-Identifier: GPL-3.0-or-later
#include "media/MediaFiles.h"

#include "media/MediaLibraries.h"

#include <exiv2/webpimage.hpp>
#include <libheif/heif.h>
#include <vector>

namespace MediaFiles {

namespace {

// Demuxers for the containers the import accepts (and raw streams mislabelled as them).
constexpr const char* AllowedDemuxers = "mov,matroska,avi,asf,flv,mpegts,mpeg,mpegvideo,h264,hevc,m4v,dv";

int interruptAfterDeadline(void* opaque)
{
    return Clock::now() > *static_cast<const Clock::time_point*>(opaque) ? 1 : 0;
}

struct HeifContextFree
{
    void operator()(heif_context* context) const
    {
        heif_context_free(context);
    }
};

struct HeifHandleRelease
{
    void operator()(heif_image_handle* handle) const
    {
        heif_image_handle_release(handle);
    }
};

// The EXIF block of a HEIF/AVIF file through libheif. exiv2 0.27 misses EXIF items whose location uses
// the item's base offset (grid images, as phones write them); libheif resolves every item location.
Exiv2::ExifData heifExif(const std::filesystem::path& photo)
{
    Exiv2::ExifData exif;
    std::unique_ptr<heif_context, HeifContextFree> context(heif_context_alloc());
    if (!context || heif_context_read_from_file(context.get(), photo.c_str(), nullptr).code != heif_error_Ok)
        return exif;
    heif_image_handle* rawHandle = nullptr;
    if (heif_context_get_primary_image_handle(context.get(), &rawHandle).code != heif_error_Ok)
        return exif;
    std::unique_ptr<heif_image_handle, HeifHandleRelease> handle(rawHandle);
    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(handle.get(), "Exif", &id, 1) != 1)
        return exif;
    const size_t size = heif_image_handle_get_metadata_size(handle.get(), id);
    constexpr size_t MaxExifSize = 1 << 20;
    if (size < 4 || size > MaxExifSize)
        return exif;
    std::vector<Exiv2::byte> data(size);
    if (heif_image_handle_get_metadata(handle.get(), id, data.data()).code != heif_error_Ok)
        return exif;
    // The block starts with a 32-bit big-endian offset from its end to the TIFF header.
    const size_t offset
        = 4 + ((size_t(data[0]) << 24) | (size_t(data[1]) << 16) | (size_t(data[2]) << 8) | data[3]);
    if (offset >= size)
        return exif;
    Exiv2::ExifParser::decode(exif, data.data() + offset, uint32_t(size - offset));
    return exif;
}

// The containers photos come in. exiv2 0.27 also reads videos (RIFF, QuickTime, Matroska, ASF), but
// those readers can recurse without end on a damaged file.
bool isPhotoType(int type)
{
    using namespace Exiv2::ImageType;
    for (const int photo : { jpeg, tiff, cr2, crw, orf, rw2, raf, png, webp, bmff, gif, bmp }) {
        if (type == photo)
            return true;
    }
    return false;
}

} // namespace

FormatContext openContainer(const std::filesystem::path& file, const Clock::time_point* deadline)
{
    MediaLibraries::initialize();
    // Opening a FIFO or a device would block before any deadline could help.
    if (!MediaLibraries::isRegularFile(file))
        return nullptr;
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw)
        return nullptr;
    raw->interrupt_callback = { interruptAfterDeadline, const_cast<Clock::time_point*>(deadline) };
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    av_dict_set(&options, "format_whitelist", AllowedDemuxers, 0);
    const std::string url = "file:" + file.native();
    const int rc = avformat_open_input(&raw, url.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (rc < 0)
        return nullptr; // avformat_open_input freed the context
    return FormatContext(raw);
}

PhotoMetadata readMetadata(const std::filesystem::path& photo)
{
    MediaLibraries::initialize();
    if (!MediaLibraries::isRegularFile(photo))
        return {};
    PhotoMetadata metadata;
    try {
        // A FileIo of our own: the path-taking factory would hand URL-like names to curl.
        Exiv2::BasicIo::AutoPtr io(new Exiv2::FileIo(photo.native()));
        auto image = Exiv2::ImageFactory::open(std::move(io));
        if (!image.get() || !isPhotoType(image->imageType()))
            return {};
        image->readMetadata();
        metadata.xmp = image->xmpData();
        metadata.exif = image->exifData().empty() && image->imageType() == Exiv2::ImageType::bmff
            ? heifExif(photo)
            : image->exifData();
    } catch (...) {
        // Damaged or unsupported files carry no usable metadata.
    }
    return metadata;
}

} // namespace MediaFiles

// SPDX-License-Identifier: GPL-3.0-or-later
#include "media/MediaFiles.h"

#include "media/MediaLibraries.h"

#include <QtGlobal>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exiv2/webpimage.hpp>
#include <libheif/heif.h>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace MediaFiles {

namespace {

// Demuxers for the containers the import accepts (and raw streams mislabelled as them).
constexpr const char* AllowedDemuxers = "mov,matroska,avi,asf,flv,mpegts,mpeg,mpegvideo,h264,hevc,m4v,dv";

int interruptAfterDeadline(void* opaque)
{
    return Clock::now() > *static_cast<const Clock::time_point*>(opaque) ? 1 : 0;
}

// FFmpeg reads the file through a descriptor of this module's opener, by position, so that clips opened
// from one descriptor at the same time keep their own places.
struct FileInput
{
    int fd = -1;
    int64_t position = 0;
    int64_t size = 0;
};

int readInput(void* opaque, uint8_t* buffer, int size)
{
    auto* input = static_cast<FileInput*>(opaque);
    for (;;) {
        const ssize_t got = ::pread(input->fd, buffer, size_t(size), input->position);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return AVERROR(errno);
        if (got == 0)
            return AVERROR_EOF;
        input->position += got;
        return int(got);
    }
}

int64_t seekInput(void* opaque, int64_t offset, int whence)
{
    auto* input = static_cast<FileInput*>(opaque);
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE)
        return input->size;
    const int64_t base = whence == SEEK_SET ? 0
        : whence == SEEK_CUR                ? input->position
        : whence == SEEK_END                ? input->size
                                            : -1;
    if (base < 0 || offset < -base || offset > INT64_MAX - base)
        return AVERROR(EINVAL);
    input->position = base + offset;
    return input->position;
}

void freeInput(AVIOContext* io)
{
    auto* input = static_cast<FileInput*>(io->opaque);
    ::close(input->fd);
    delete input;
    av_freep(&io->buffer);
    avio_context_free(&io);
}

AVIOContext* openInput(const std::filesystem::path& file)
{
    constexpr int BufferSize = 64 * 1024;
    const int fd = MediaLibraries::openForReading(file);
    struct stat st
    { };
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        if (fd >= 0)
            ::close(fd);
        return nullptr;
    }
    auto* input = new FileInput { fd, 0, int64_t(st.st_size) };
    auto* buffer = static_cast<unsigned char*>(av_malloc(BufferSize));
    AVIOContext* io
        = buffer ? avio_alloc_context(buffer, BufferSize, 0, input, readInput, nullptr, seekInput) : nullptr;
    if (!io) {
        av_free(buffer);
        ::close(fd);
        delete input;
    }
    return io;
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
Exiv2::ExifData heifExif(const Mapping& photo)
{
    Exiv2::ExifData exif;
    std::unique_ptr<heif_context, HeifContextFree> context(heif_context_alloc());
    if (!context
        || heif_context_read_from_memory_without_copy(context.get(), photo.data(), photo.size(), nullptr).code
            != heif_error_Ok)
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

// The XMP packet of a GIF, which exiv2 does not read: an application extension "XMP DataXMP" whose data is
// the packet itself, followed by a 258-byte "magic trailer" (0x01, 0xFF … 0x00, 0x00) that makes it
// parse as sub-blocks. The blocks are walked, so image data is never mistaken for a packet.
Exiv2::XmpData gifXmp(const std::filesystem::path& photo)
{
    Exiv2::XmpData xmp;
    const Mapping file(photo);
    const qint64 size = qint64(file.size());
    const uchar* const data = file.data();
    if (!data || size < 13 || std::memcmp(data, "GIF8", 4) != 0)
        return xmp;
    auto subBlocksEnd = [&](qint64 pos) {
        while (pos < size && data[pos] != 0)
            pos += 1 + data[pos];
        return pos + 1; // past the terminator, or beyond the end of a damaged file
    };
    qint64 pos = 13;
    if (data[10] & 0x80)
        pos += 3 * (qint64(1) << ((data[10] & 0x07) + 1)); // the global colour table
    constexpr std::string_view XmpApplication("\x21\xff\x0bXMP DataXMP", 14);
    while (pos < size) {
        if (data[pos] == 0x2c) { // an image: descriptor, local colour table, LZW code size, data
            if (pos + 10 > size)
                break;
            const uchar flags = data[pos + 9];
            pos += 10 + ((flags & 0x80) ? 3 * (qint64(1) << ((flags & 0x07) + 1)) : 0) + 1;
            pos = subBlocksEnd(pos);
        } else if (data[pos] == 0x21 && pos + 2 < size) {
            const qint64 start = pos + qint64(XmpApplication.size());
            const bool isXmp = start <= size
                && std::string_view(reinterpret_cast<const char*>(data + pos), XmpApplication.size())
                    == XmpApplication;
            pos = subBlocksEnd(pos + 2);
            if (isXmp && pos <= size) {
                // UTF-8 never holds 0xFF: the packet ends where the trailer begins.
                const auto* first = reinterpret_cast<const char*>(data + start);
                const auto* last = reinterpret_cast<const char*>(data + pos);
                const std::string packet(first, std::find(first, last, '\xff'));
                try {
                    if (Exiv2::XmpParser::decode(xmp, packet.substr(0, packet.rfind('>') + 1)) != 0)
                        xmp.clear();
                } catch (...) {
                    xmp.clear();
                }
                return xmp;
            }
        } else {
            break; // the trailer, or something that is not a GIF block
        }
    }
    return xmp;
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

void FormatCloser::operator()(AVFormatContext* context) const
{
    AVIOContext* io = context && (context->flags & AVFMT_FLAG_CUSTOM_IO) ? context->pb : nullptr;
    avformat_close_input(&context);
    if (io)
        freeInput(io);
}

Mapping::Mapping(const std::filesystem::path& file)
{
    const int fd = MediaLibraries::openForReading(file);
    if (fd < 0)
        return;
    struct stat st
    { };
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
        void* data = ::mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (data != MAP_FAILED) {
            m_data = data;
            m_size = size_t(st.st_size);
        }
    }
    ::close(fd);
}

Mapping::~Mapping()
{
    if (m_data)
        ::munmap(m_data, m_size);
}

FormatContext openContainer(const std::filesystem::path& file, const Clock::time_point* deadline)
{
    MediaLibraries::initialize();
    // Opening a FIFO or a device would block before any deadline could help.
    if (!MediaLibraries::isRegularFile(file))
        return nullptr;
    AVIOContext* io = openInput(file);
    if (!io)
        return nullptr;
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) {
        freeInput(io);
        return nullptr;
    }
    raw->pb = io;
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    raw->interrupt_callback = { interruptAfterDeadline, const_cast<Clock::time_point*>(deadline) };
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    av_dict_set(&options, "format_whitelist", AllowedDemuxers, 0);
    const std::string url = "file:" + file.native();
    const int rc = avformat_open_input(&raw, url.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (rc < 0) {
        freeInput(io); // avformat_open_input freed the context, but not a reader of ours
        return nullptr;
    }
    return FormatContext(raw);
}

PhotoMetadata readMetadata(const std::filesystem::path& photo)
{
    MediaLibraries::initialize();
    if (!MediaLibraries::isRegularFile(photo))
        return {};
    const Mapping file(photo);
    if (!file.data())
        return {};
    PhotoMetadata metadata;
    try {
        // From memory: the path-taking factory would hand URL-like names to curl.
        Exiv2::BasicIo::AutoPtr io(new Exiv2::MemIo(file.data(), long(file.size())));
        auto image = Exiv2::ImageFactory::open(std::move(io));
        if (!image.get() || !isPhotoType(image->imageType()))
            return {};
        image->readMetadata();
        metadata.xmp = image->imageType() == Exiv2::ImageType::gif ? gifXmp(photo) : image->xmpData();
        metadata.exif = image->exifData().empty() && image->imageType() == Exiv2::ImageType::bmff
            ? heifExif(file)
            : image->exifData();
    } catch (...) {
        // Damaged or unsupported files carry no usable metadata.
    }
    return metadata;
}

} // namespace MediaFiles

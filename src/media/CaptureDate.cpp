// SPDX-License-Identifier: GPL-3.0-or-later
#include "media/FrameExtractor.h"
#include "media/MediaLibraries.h"

#include <QTimeZone>

#include <exiv2/exiv2.hpp>
#include <libheif/heif.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/time.h>
}

#include <fcntl.h>
#include <memory>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

// Reads a run of exactly `count` ASCII digits at `pos`; advances pos.
bool digits(QStringView text, qsizetype& pos, int count, int& value)
{
    if (pos + count > text.size())
        return false;
    value = 0;
    for (int i = 0; i < count; ++i) {
        const char16_t c = text[pos + i].unicode();
        if (c < u'0' || c > u'9')
            return false;
        value = value * 10 + (c - u'0');
    }
    pos += count;
    return true;
}

bool literal(QStringView text, qsizetype& pos, char16_t c)
{
    if (pos >= text.size() || text[pos] != c)
        return false;
    ++pos;
    return true;
}

struct WallClock
{
    QDate date;
    QTime time;
};

// yyyy<sep>MM<sep>dd<mid>HH:mm[:ss]; seconds required unless allowNoSeconds.
std::optional<WallClock> wallClock(
    QStringView text, qsizetype& pos, char16_t dateSep, char16_t mid, bool allowNoSeconds)
{
    int y, mo, d, h, mi, s = 0;
    if (!digits(text, pos, 4, y) || !literal(text, pos, dateSep) || !digits(text, pos, 2, mo)
        || !literal(text, pos, dateSep) || !digits(text, pos, 2, d) || !literal(text, pos, mid)
        || !digits(text, pos, 2, h) || !literal(text, pos, u':') || !digits(text, pos, 2, mi))
        return std::nullopt;
    if (!(allowNoSeconds && pos == text.size())) {
        if (!literal(text, pos, u':') || !digits(text, pos, 2, s))
            return std::nullopt;
    }
    const QDate date(y, mo, d);
    const QTime time(h, mi, s);
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    return WallClock { date, time };
}

QDateTime localInstant(const WallClock& clock)
{
    return QDateTime(clock.date, clock.time, Qt::LocalTime).toUTC();
}

std::optional<QDateTime> parseExif(QStringView text)
{
    qsizetype pos = 0;
    if (auto clock = wallClock(text, pos, u':', u' ', true); clock && pos == text.size())
        return localInstant(*clock);
    pos = 0;
    if (auto clock = wallClock(text, pos, u'-', u'T', false); clock && pos == text.size())
        return localInstant(*clock);
    return std::nullopt;
}

// ---- photos -------------------------------------------------------------------------------------

std::optional<QString> exifText(const Exiv2::ExifData& exif, const Exiv2::ExifKey& key, bool* present)
{
    const auto it = exif.findKey(key);
    if (present)
        *present = it != exif.end();
    if (it == exif.end() || it->typeId() != Exiv2::asciiString)
        return std::nullopt;
    // EXIF strings are NUL-padded ASCII; some writers pad with spaces instead.
    QString text = QString::fromLatin1(it->toString());
    while (!text.isEmpty() && (text.back() == u'\0' || text.back().isSpace()))
        text.chop(1);
    return text;
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

std::optional<QDateTime> embeddedPhotoDate(const std::filesystem::path& photo)
{
    static const Exiv2::ExifKey original("Exif.Photo.DateTimeOriginal");
    static const Exiv2::ExifKey digitized("Exif.Photo.DateTimeDigitized");
    static const Exiv2::ExifKey tiffDateTime("Exif.Image.DateTime");
    try {
        // A FileIo of our own: the path-taking factory would hand URL-like names to curl.
        Exiv2::BasicIo::AutoPtr io(new Exiv2::FileIo(photo.native()));
        auto image = Exiv2::ImageFactory::open(std::move(io));
        if (!image.get())
            return std::nullopt;
        image->readMetadata();
        Exiv2::ExifData exif = image->exifData();
        if (exif.empty() && image->imageType() == Exiv2::ImageType::bmff)
            exif = heifExif(photo);
        if (exif.empty())
            return std::nullopt;

        // The original date decides alone when present, even if unusable.
        bool hasOriginal = false;
        auto text = exifText(exif, original, &hasOriginal);
        if (!hasOriginal)
            text = exifText(exif, digitized, nullptr);
        if (text) {
            if (auto date = parseExif(*text))
                return date;
        }
        if (auto tiff = exifText(exif, tiffDateTime, nullptr))
            return parseExif(*tiff);
    } catch (...) {
        // Corrupt or unsupported files simply have no embedded date.
    }
    return std::nullopt;
}

// ---- videos -------------------------------------------------------------------------------------

struct FormatContextCloser
{
    void operator()(AVFormatContext* context) const
    {
        avformat_close_input(&context);
    }
};

constexpr int64_t OpenDeadlineMicroseconds = 5'000'000;

int interruptAfterDeadline(void* opaque)
{
    return av_gettime_relative() > *static_cast<const int64_t*>(opaque) ? 1 : 0;
}

std::optional<QDateTime> embeddedVideoDate(const std::filesystem::path& video)
{
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw)
        return std::nullopt;
    int64_t deadline = av_gettime_relative() + OpenDeadlineMicroseconds;
    raw->interrupt_callback = { interruptAfterDeadline, &deadline };
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    const std::string url = "file:" + video.native();
    // Opening reads the container header only; no stream info is probed, so no frame is decoded.
    const int rc = avformat_open_input(&raw, url.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (rc < 0)
        return std::nullopt; // avformat_open_input freed the context
    std::unique_ptr<AVFormatContext, FormatContextCloser> context(raw);

    auto tryKey = [](const AVDictionary* metadata, const char* key) -> std::optional<QDateTime> {
        const AVDictionaryEntry* entry = av_dict_get(metadata, key, nullptr, 0);
        if (!entry || !entry->value)
            return std::nullopt;
        return FrameExtractor::parseVideoDate(QString::fromUtf8(entry->value).trimmed());
    };
    // The QuickTime creation date keeps the recording's zone; creation_time is UTC only and is
    // often the time of a later export.
    if (auto date = tryKey(context->metadata, "com.apple.quicktime.creationdate"))
        return date;
    if (auto date = tryKey(context->metadata, "creation_time"))
        return date;
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        if (auto date = tryKey(context->streams[i]->metadata, "creation_time"))
            return date;
    }
    return std::nullopt;
}

} // namespace

namespace FrameExtractor {

std::optional<QDateTime> parseExifDate(QStringView text)
{
    return parseExif(text);
}

std::optional<QDateTime> parseVideoDate(QStringView text)
{
    qsizetype pos = 0;
    const auto clock = wallClock(text, pos, u'-', u'T', false);
    if (!clock)
        return std::nullopt;
    QTime time = clock->time;
    if (pos < text.size() && (text[pos] == u'.' || text[pos] == u',')) {
        ++pos;
        const qsizetype start = pos;
        int ms = 0;
        int scale = 100;
        while (pos < text.size() && text[pos].isDigit() && text[pos].unicode() < 128) {
            ms += scale * (text[pos].unicode() - u'0');
            scale /= 10;
            ++pos;
        }
        if (pos == start)
            return std::nullopt;
        time = time.addMSecs(ms);
    }
    if (pos == text.size())
        return localInstant({ clock->date, time });

    int offsetSeconds = 0;
    if (text[pos] == u'Z' && pos + 1 == text.size()) {
        offsetSeconds = 0;
    } else if (text[pos] == u'+' || text[pos] == u'-') {
        const int sign = text[pos] == u'-' ? -1 : 1;
        ++pos;
        int hours = 0;
        int minutes = 0;
        if (!digits(text, pos, 2, hours))
            return std::nullopt;
        if (pos < text.size()) {
            literal(text, pos, u':');
            if (!digits(text, pos, 2, minutes))
                return std::nullopt;
        }
        if (pos != text.size() || hours > 23 || minutes > 59)
            return std::nullopt;
        offsetSeconds = sign * (hours * 3600 + minutes * 60);
    } else {
        return std::nullopt;
    }
    return QDateTime(clock->date, time, QTimeZone(offsetSeconds)).toUTC();
}

std::optional<QDateTime> fileBirthTime(const std::filesystem::path& file)
{
    struct statx stx
    { };
    if (::statx(AT_FDCWD, file.c_str(), AT_STATX_SYNC_AS_STAT, STATX_BTIME, &stx) != 0)
        return std::nullopt;
    if (!(stx.stx_mask & STATX_BTIME))
        return std::nullopt;
    return QDateTime::fromMSecsSinceEpoch(
        qint64(stx.stx_btime.tv_sec) * 1000 + stx.stx_btime.tv_nsec / 1'000'000, Qt::UTC);
}

std::optional<QDateTime> creationDate(const std::filesystem::path& video)
{
    MediaLibraries::initialize();
    if (MediaLibraries::isRegularFile(video)) {
        if (auto date = embeddedVideoDate(video))
            return date;
    }
    return fileBirthTime(video);
}

std::optional<QDateTime> photoCreationDate(const std::filesystem::path& photo)
{
    MediaLibraries::initialize();
    if (MediaLibraries::isRegularFile(photo)) {
        if (auto date = embeddedPhotoDate(photo))
            return date;
    }
    return fileBirthTime(photo);
}

} // namespace FrameExtractor

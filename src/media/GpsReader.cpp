// SPDX-License-Identifier: GPL-3.0-or-later
#include "media/GpsReader.h"

#include "media/MediaLibraries.h"

#include <QRegularExpression>

#include <exiv2/exiv2.hpp>
#include <libheif/heif.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <chrono>
#include <cmath>
#include <memory>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds OpenBudget { 5 };

struct FormatCloser
{
    void operator()(AVFormatContext* context) const
    {
        avformat_close_input(&context);
    }
};

int interruptAfterDeadline(void* opaque)
{
    return Clock::now() > *static_cast<const Clock::time_point*>(opaque) ? 1 : 0;
}

std::optional<GeoCoordinate> fromEntries(const AVDictionary* metadata, bool (*wanted)(const QString& key))
{
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = av_dict_get(metadata, "", entry, AV_DICT_IGNORE_SUFFIX))) {
        if (!entry->key || !entry->value || !wanted(QString::fromUtf8(entry->key).toLower()))
            continue;
        if (auto coordinate = PlaceResolver::parseIso6709(QString::fromUtf8(entry->value)))
            return coordinate;
    }
    return std::nullopt;
}

// The container-level location: QuickTime's ©xyz user data ("location", with a language suffix when one
// is set) and the metadata-key form Apple devices write.
bool isCommonLocationKey(const QString& key)
{
    return key == u"location" || key.startsWith(u"location-")
        || key == u"com.apple.quicktime.location.iso6709";
}

bool mentionsLocation(const QString& key)
{
    return key.contains(u"location") || key.contains(u"iso6709");
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

// exiv2 0.27 misses EXIF items of HEIF files that phones write (grid images with base offsets);
// libheif finds them.
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
    if (size < 4 || size > (1 << 20))
        return exif;
    std::vector<Exiv2::byte> data(size);
    if (heif_image_handle_get_metadata(handle.get(), id, data.data()).code != heif_error_Ok)
        return exif;
    // A 32-bit big-endian offset from the end of this field to the TIFF header comes first.
    const size_t offset
        = 4 + ((size_t(data[0]) << 24) | (size_t(data[1]) << 16) | (size_t(data[2]) << 8) | data[3]);
    if (offset >= size)
        return exif;
    Exiv2::ExifParser::decode(exif, data.data() + offset, uint32_t(size - offset));
    return exif;
}

// Degrees, minutes and seconds as rationals; any zero denominator makes the value unusable.
std::optional<double> degrees(const Exiv2::Exifdatum& datum)
{
    const Exiv2::TypeId type = datum.typeId();
    if ((type != Exiv2::unsignedRational && type != Exiv2::signedRational) || datum.count() < 1)
        return std::nullopt;
    double value = 0;
    double unit = 1;
    for (long i = 0; i < std::min<long>(datum.count(), 3); ++i) {
        const Exiv2::Rational part = datum.toRational(i);
        if (part.second == 0)
            return std::nullopt;
        value += double(part.first) / double(part.second) / unit;
        unit *= 60;
    }
    return std::isfinite(value) ? std::optional<double>(value) : std::nullopt;
}

QString reference(const Exiv2::ExifData& exif, const char* key, const QString& fallback)
{
    const auto it = exif.findKey(Exiv2::ExifKey(key));
    if (it == exif.end() || it->typeId() != Exiv2::asciiString)
        return fallback;
    return QString::fromLatin1(it->toString()).trimmed().toUpper();
}

} // namespace

namespace PlaceResolver {

std::optional<GeoCoordinate> parseIso6709(QStringView text)
{
    static const QRegularExpression pattern(
        uR"(([+-][0-9]{1,3}(?:\.[0-9]+)?)([+-][0-9]{1,3}(?:\.[0-9]+)?))"_s);
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    bool latitudeOk = false;
    bool longitudeOk = false;
    const double latitude = match.capturedView(1).toDouble(&latitudeOk);
    const double longitude = match.capturedView(2).toDouble(&longitudeOk);
    if (!latitudeOk || !longitudeOk || std::abs(latitude) > 90 || std::abs(longitude) > 180)
        return std::nullopt;
    return GeoCoordinate { latitude, longitude };
}

std::optional<GeoCoordinate> coordinate(const std::filesystem::path& video)
{
    MediaLibraries::initialize();
    if (!MediaLibraries::isRegularFile(video))
        return std::nullopt;
    try {
        Clock::time_point deadline = Clock::now() + OpenBudget;
        AVFormatContext* raw = avformat_alloc_context();
        if (!raw)
            return std::nullopt;
        raw->interrupt_callback = { interruptAfterDeadline, &deadline };
        AVDictionary* options = nullptr;
        av_dict_set(&options, "protocol_whitelist", "file", 0);
        av_dict_set(&options, "format_whitelist",
            "mov,matroska,avi,asf,flv,mpegts,mpeg,mpegvideo,h264,hevc,m4v,dv", 0);
        const std::string url = "file:" + video.native();
        // The header holds the metadata; no stream probing, so no picture is decoded.
        const int rc = avformat_open_input(&raw, url.c_str(), nullptr, &options);
        av_dict_free(&options);
        if (rc < 0)
            return std::nullopt;
        std::unique_ptr<AVFormatContext, FormatCloser> format(raw);

        if (auto found = fromEntries(format->metadata, isCommonLocationKey))
            return found;
        if (auto found = fromEntries(format->metadata, mentionsLocation))
            return found;
        for (unsigned i = 0; i < format->nb_streams; ++i) {
            if (auto found = fromEntries(format->streams[i]->metadata, mentionsLocation))
                return found;
        }
    } catch (...) {
        // Allocation failure while reading text: no coordinate.
    }
    return std::nullopt;
}

std::optional<GeoCoordinate> photoCoordinate(const std::filesystem::path& photo)
{
    MediaLibraries::initialize();
    if (!MediaLibraries::isRegularFile(photo))
        return std::nullopt;
    try {
        // A FileIo of our own: the path-taking factory would hand URL-like names to curl.
        Exiv2::BasicIo::AutoPtr io(new Exiv2::FileIo(photo.native()));
        auto image = Exiv2::ImageFactory::open(std::move(io));
        if (!image.get())
            return std::nullopt;
        image->readMetadata();
        Exiv2::ExifData exif = image->exifData();
        if (exif.findKey(Exiv2::ExifKey("Exif.GPSInfo.GPSLatitude")) == exif.end()
            && image->imageType() == Exiv2::ImageType::bmff)
            exif = heifExif(photo);
        const auto latitudeIt = exif.findKey(Exiv2::ExifKey("Exif.GPSInfo.GPSLatitude"));
        const auto longitudeIt = exif.findKey(Exiv2::ExifKey("Exif.GPSInfo.GPSLongitude"));
        if (latitudeIt == exif.end() || longitudeIt == exif.end())
            return std::nullopt;
        std::optional<double> latitude = degrees(*latitudeIt);
        std::optional<double> longitude = degrees(*longitudeIt);
        if (!latitude || !longitude)
            return std::nullopt;
        if (reference(exif, "Exif.GPSInfo.GPSLatitudeRef", u"N"_s).startsWith(u'S'))
            *latitude = -*latitude;
        if (reference(exif, "Exif.GPSInfo.GPSLongitudeRef", u"E"_s).startsWith(u'W'))
            *longitude = -*longitude;
        return GeoCoordinate { *latitude, *longitude };
    } catch (...) {
        // exiv2 throws on damaged or unsupported files: they carry no usable position.
    }
    return std::nullopt;
}

} // namespace PlaceResolver

// SPDX-License-Identifier: GPL-3.0-or-later
#include "media/GpsReader.h"

#include "media/MediaFiles.h"

#include <QRegularExpression>

#include <chrono>
#include <cmath>

using namespace Qt::StringLiterals;

namespace {

constexpr std::chrono::seconds OpenBudget { 5 };

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

std::optional<GeoCoordinate> exifCoordinate(const Exiv2::ExifData& exif)
{
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
}

// XMP's form: degrees, then minutes with a fraction or minutes and seconds, then the direction, as in
// "31,13.824N" or "121,28,25.32E". Negative for south and west.
std::optional<double> xmpDegrees(const Exiv2::XmpData& xmp, const char* key, QStringView directions)
{
    const auto it = xmp.findKey(Exiv2::XmpKey(key));
    if (it == xmp.end())
        return std::nullopt;
    const QString text = QString::fromUtf8(it->toString()).trimmed().toUpper();
    if (text.size() < 2 || !directions.contains(text.back()))
        return std::nullopt;
    const QStringList parts = text.chopped(1).split(u',');
    if (parts.size() > 3)
        return std::nullopt;
    double value = 0;
    double unit = 1;
    for (const QString& part : parts) {
        bool ok = false;
        const double number = part.toDouble(&ok);
        if (!ok || !(number >= 0))
            return std::nullopt;
        value += number / unit;
        unit *= 60;
    }
    if (!std::isfinite(value))
        return std::nullopt;
    return text.back() == directions.back() ? -value : value;
}

std::optional<GeoCoordinate> xmpCoordinate(const Exiv2::XmpData& xmp)
{
    const auto latitude = xmpDegrees(xmp, "Xmp.exif.GPSLatitude", u"NS");
    const auto longitude = xmpDegrees(xmp, "Xmp.exif.GPSLongitude", u"EW");
    if (!latitude || !longitude)
        return std::nullopt;
    return GeoCoordinate { *latitude, *longitude };
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
    try {
        const MediaFiles::Clock::time_point deadline = MediaFiles::Clock::now() + OpenBudget;
        const MediaFiles::FormatContext format = MediaFiles::openContainer(video, &deadline);
        if (!format)
            return std::nullopt;
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
    try {
        const MediaFiles::PhotoMetadata metadata = MediaFiles::readMetadata(photo);
        if (auto found = exifCoordinate(metadata.exif))
            return found;
        return xmpCoordinate(metadata.xmp);
    } catch (...) {
        // exiv2 throws on values it cannot convert: no usable position.
    }
    return std::nullopt;
}

} // namespace PlaceResolver

// SPDX-License-Identifier: GPL-3.0-or-later
#include "media/FrameExtractor.h"
#include "media/MediaFiles.h"

#include <QTimeZone>

#include <chrono>
#include <memory>

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
    if (!(allowNoSeconds && (pos == text.size() || text[pos] != u':'))) {
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

// The zero of QuickTime's and Unix's clocks (1904, 1970), and cameras whose clock was never set: no date.
std::optional<QDateTime> plausible(std::optional<QDateTime> date)
{
    static const QDateTime earliest(QDate(1971, 1, 1), QTime(0, 0), Qt::UTC);
    if (date && *date < earliest)
        return std::nullopt;
    return date;
}

std::optional<QDateTime> exifDate(const Exiv2::ExifData& exif)
{
    static const Exiv2::ExifKey original("Exif.Photo.DateTimeOriginal");
    static const Exiv2::ExifKey digitized("Exif.Photo.DateTimeDigitized");
    static const Exiv2::ExifKey tiffDateTime("Exif.Image.DateTime");
    // The original date decides alone when present, even if unusable.
    bool hasOriginal = false;
    auto text = exifText(exif, original, &hasOriginal);
    if (!hasOriginal)
        text = exifText(exif, digitized, nullptr);
    if (text) {
        if (auto date = plausible(parseExif(*text)))
            return date;
    }
    if (auto tiff = exifText(exif, tiffDateTime, nullptr))
        return plausible(parseExif(*tiff));
    return std::nullopt;
}

// Editors and some cameras keep the date only in XMP, as ISO 8601.
std::optional<QDateTime> xmpDate(const Exiv2::XmpData& xmp)
{
    for (const char* key :
        { "Xmp.exif.DateTimeOriginal", "Xmp.xmp.CreateDate", "Xmp.photoshop.DateCreated" }) {
        const auto it = xmp.findKey(Exiv2::XmpKey(key));
        if (it == xmp.end())
            continue;
        if (auto date
            = plausible(FrameExtractor::parseVideoDate(QString::fromUtf8(it->toString()).trimmed())))
            return date;
    }
    return std::nullopt;
}

std::optional<FileDates::CaptureDate> embeddedPhotoDate(const std::filesystem::path& photo)
{
    const MediaFiles::PhotoMetadata metadata = MediaFiles::readMetadata(photo);
    try {
        if (auto date = exifDate(metadata.exif))
            return FileDates::CaptureDate { *date, DateSource::Metadata };
        if (auto date = xmpDate(metadata.xmp))
            return FileDates::CaptureDate { *date, DateSource::Xmp };
    } catch (...) {
        // A value exiv2 cannot render as text: no date.
    }
    return std::nullopt;
}

// ---- videos -------------------------------------------------------------------------------------

constexpr std::chrono::seconds OpenBudget { 5 };

std::optional<QDateTime> embeddedVideoDate(const std::filesystem::path& video)
{
    const MediaFiles::Clock::time_point deadline = MediaFiles::Clock::now() + OpenBudget;
    const MediaFiles::FormatContext context = MediaFiles::openContainer(video, &deadline);
    if (!context)
        return std::nullopt;

    auto tryKey = [](const AVDictionary* metadata, const char* key) -> std::optional<QDateTime> {
        const AVDictionaryEntry* entry = av_dict_get(metadata, key, nullptr, 0);
        if (!entry || !entry->value)
            return std::nullopt;
        return plausible(FrameExtractor::parseVideoDate(QString::fromUtf8(entry->value).trimmed()));
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
    const auto clock = wallClock(text, pos, u'-', u'T', true);
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

std::optional<QDateTime> creationDate(const std::filesystem::path& video)
{
    return embeddedVideoDate(video);
}

std::optional<QDateTime> photoCreationDate(const std::filesystem::path& photo)
{
    const auto date = embeddedPhotoDate(photo);
    return date ? std::optional(date->instant) : std::nullopt;
}

std::optional<FileDates::CaptureDate> photoCaptureDate(const std::filesystem::path& photo)
{
    return embeddedPhotoDate(photo);
}

} // namespace FrameExtractor

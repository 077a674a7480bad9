// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/FileDates.h"

#include <QFile>
#include <QRegularExpression>

#include <sys/stat.h>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

// Phones and cameras name files after the moment they were taken. Each pattern is bounded by non-digits
// so that a longer run of digits (a counter, a hash) is never read as a date.
struct NamePattern
{
    QRegularExpression expression; // groups: year, month, day[, hour, minute, second]
    bool hasTime = true;
};

constexpr int EarliestNameYear = 1990;
constexpr time_t EarliestModification = 365 * 24 * 3600; // 1971

const std::vector<NamePattern>& namePatterns()
{
    static const std::vector<NamePattern> patterns {
        // IMG_20191006_143012, VID_20191220_170832, PXL_20230512_081522123, Screenshot_20191006-143012
        { QRegularExpression(uR"((?<!\d)(\d{4})(\d\d)(\d\d)[_-](\d\d)(\d\d)(\d\d)(?:\d{3})?(?!\d))"_s) },
        // DJI_20230512081522_0001, IMG20191006143012
        { QRegularExpression(uR"((?<!\d)(\d{4})(\d\d)(\d\d)(\d\d)(\d\d)(\d\d)(?:\d{3})?(?!\d))"_s) },
        // Screenshot_2023-05-12-08-15-22, "2019-10-06 14.30.12", "2023-05-12 08-15-22"
        { QRegularExpression(uR"((?<!\d)(\d{4})-(\d\d)-(\d\d)[ _-](\d\d)[.-](\d\d)[.-](\d\d)(?!\d))"_s) },
        // Messengers keep only the day: IMG-20191006-WA0002
        { QRegularExpression(uR"((?<!\d)(\d{4})(\d\d)(\d\d)-WA\d)"_s), false },
        // A day written out, as editors and exports name files: "2019-10-06 生日"
        { QRegularExpression(uR"((?<!\d)(\d{4})-(\d\d)-(\d\d)(?!\d))"_s), false },
    };
    return patterns;
}

} // namespace

namespace FileDates {

std::optional<QDateTime> fromName(const std::filesystem::path& file)
{
    const QString name = QFile::decodeName(QByteArray::fromStdString(file.filename().native()));
    const QDate today = QDate::currentDate();
    for (const NamePattern& pattern : namePatterns()) {
        QRegularExpressionMatchIterator it = pattern.expression.globalMatch(name);
        while (it.hasNext()) {
            const QRegularExpressionMatch match = it.next();
            auto number = [&](int group) { return match.capturedView(group).toInt(); };
            const QDate date(number(1), number(2), number(3));
            // Noon when the name holds no time: far from both ends of the day.
            const QTime time = pattern.hasTime ? QTime(number(4), number(5), number(6)) : QTime(12, 0);
            if (!date.isValid() || !time.isValid() || date.year() < EarliestNameYear
                || date > today.addDays(1))
                continue;
            return QDateTime(date, time, Qt::LocalTime).toUTC();
        }
    }
    return std::nullopt;
}

std::optional<QDateTime> modificationTime(const std::filesystem::path& file)
{
    struct stat st
    { };
    if (::stat(file.c_str(), &st) != 0)
        return std::nullopt;
    // The zero of the clock, as archives without times leave it, is no date.
    if (st.st_mtime < EarliestModification)
        return std::nullopt;
    return QDateTime::fromSecsSinceEpoch(qint64(st.st_mtime), Qt::UTC);
}

std::optional<CaptureDate> complete(
    const std::filesystem::path& file, const std::optional<CaptureDate>& metadata)
{
    if (metadata && metadata->instant.isValid())
        return metadata;
    if (auto date = fromName(file))
        return CaptureDate { *date, DateSource::FileName };
    if (auto date = modificationTime(file))
        return CaptureDate { *date, DateSource::FileModified };
    return std::nullopt;
}

} // namespace FileDates

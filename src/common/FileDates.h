// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/DateSource.h"

#include <QDateTime>

#include <filesystem>
#include <optional>

// The capture dates a file gives away without being decoded: a date in its name, its modification
// time. Stateless free functions: safe on any thread, never throw.
namespace FileDates {

// The moment a phone or camera wrote into the file's name (IMG_20191006_143012, DJI_20230512081522_0001,
// Screenshot_2023-05-12-08-15-22; the day alone from IMG-20191006-WA0002, at local noon), as local time.
// Impossible dates, dates before 1990 or after tomorrow, and digits inside a longer run give nothing.
std::optional<QDateTime> fromName(const std::filesystem::path& file);

// When the file's content last changed, to the second (copies keep it, unlike the birth time); nothing
// before 1971.
std::optional<QDateTime> modificationTime(const std::filesystem::path& file);

struct CaptureDate
{
    QDateTime instant;
    DateSource source = DateSource::Metadata;
};

// The date the file's metadata gave when there is one, else the date in its name, else its
// modification time.
std::optional<CaptureDate> complete(
    const std::filesystem::path& file, const std::optional<CaptureDate>& metadata);

} // namespace FileDates

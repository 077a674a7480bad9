// SPDX-License-Identifier: GPL-3.0-or-later
// The metadata openers: capture dates and GPS positions through FFmpeg (videos) and exiv2 or libheif
// (photos). Every reader gets every file, as a mislabelled one would reach it.

#include "FuzzFile.h"
#include "media/FrameExtractor.h"
#include "media/GpsReader.h"

#include <cmath>
#include <cstdlib>
#include <vector>

namespace {

const std::vector<std::string_view> Extensions = [] {
    std::vector<std::string_view> all(FuzzFile::PhotoExtensions.begin(), FuzzFile::PhotoExtensions.end());
    all.insert(all.end(), FuzzFile::VideoExtensions.begin(), FuzzFile::VideoExtensions.end());
    return all;
}();

void checkDate(const std::optional<QDateTime>& date)
{
    if (date && !date->isValid())
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto input = FuzzFile::split(data, size, Extensions);
    if (!input)
        return -1;
    const std::filesystem::path path = FuzzFile::write(*input);
    checkDate(FrameExtractor::creationDate(path));
    checkDate(FrameExtractor::photoCreationDate(path));
    // Video positions are range-checked; photo positions are kept as the camera wrote them.
    if (const auto position = PlaceResolver::coordinate(path);
        position && (std::abs(position->latitude) > 90 || std::abs(position->longitude) > 180))
        std::abort();
    if (const auto position = PlaceResolver::photoCoordinate(path);
        position && !(std::isfinite(position->latitude) && std::isfinite(position->longitude)))
        std::abort();
    return 0;
}

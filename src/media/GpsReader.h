// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/GeoCoordinate.h"

#include <QStringView>

#include <filesystem>
#include <optional>

// The GPS position stored in a media file. Part of PlaceResolver's interface, but built with the media
// libraries that read it (naming does not link them). Free functions: safe on any thread, never throw.
namespace PlaceResolver {

// From a video's ISO 6709 location metadata: first the container's location entries, then every
// metadata entry of the file and its streams whose key mentions "location" or "iso6709".
std::optional<GeoCoordinate> coordinate(const std::filesystem::path& video);

// From a photo's EXIF GPS latitude and longitude with their N/S and E/W references (N and E when
// absent), else from XMP's exif:GPSLatitude and exif:GPSLongitude. No range check, as the camera wrote
// it.
std::optional<GeoCoordinate> photoCoordinate(const std::filesystem::path& photo);

// The first pair of signed decimal degrees written back to back, as in "+31.2304+121.4737+005.000/";
// nothing when there is none or it is out of range (|latitude| > 90, |longitude| > 180).
std::optional<GeoCoordinate> parseIso6709(QStringView text);

} // namespace PlaceResolver

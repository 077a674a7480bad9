// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A position in decimal degrees, south and west negative. Compared exactly, with no tolerance,
// so a NaN component never compares equal.
struct GeoCoordinate
{
    double latitude = 0;
    double longitude = 0;

    friend bool operator==(const GeoCoordinate&, const GeoCoordinate&) = default;
};

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

class QLabel;

// The credit the public OpenStreetMap geocoder asks for wherever its place names are used.
namespace GeocoderAttribution {

// Whether geocoderURL (as stored: empty means the default) names the public service.
bool isPublicService(const QString& geocoderURL);
// A small label "© OpenStreetMap contributors" that links to the copyright page.
QLabel* makeLabel();

} // namespace GeocoderAttribution

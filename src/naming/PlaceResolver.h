// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/GeoCoordinate.h"

#include <QByteArray>
#include <QString>

#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

class QObject;

// Place names for proposed file names, from the folders that hold a file (free functions, safe on any
// thread) and from GPS coordinates through a reverse-geocoding service (main thread; the cache of
// geocoded names is process-wide and locked).
namespace PlaceResolver {

// Whether a folder name can serve as a place: not a system, camera-roll or work folder name, and not
// just digits and punctuation.
bool isMeaningful(const QString& folderName);

// Where the folder walk ends, as absolute paths.
struct FolderLimits
{
    // Never looked at, nor anything above them: the user's home folder (its name is the login name).
    std::vector<std::filesystem::path> homes;
    // A mount point may name the place, nothing above it. Removable media under /media/USER/LABEL and
    // /run/media/USER/LABEL count as mounted at LABEL without being listed.
    std::vector<std::filesystem::path> mountPoints;
    // The folder the user added that holds the file: it may name the place, nothing above it. Empty for
    // a file added on its own.
    std::filesystem::path addedFolder;
};

// This user's home folder and the mount points of this machine, now, with this added folder.
FolderLimits systemLimits(const std::filesystem::path& addedFolder = {});

// How many folders above a file may name its place.
inline constexpr int FolderDepth = 6;

// The outermost meaningful folder name among the maxDepth folders above the file, within limits, with
// runs of spaces collapsed. Looks only at the path text, never at the disk.
std::optional<QString> fromPath(
    const std::filesystem::path& file, int maxDepth, const FolderLimits& limits = FolderLimits());

using PlaceCallback = std::function<void(const std::optional<QString>& place)>;

// The place name of a coordinate from a Nominatim-compatible service at serviceURL (its base address;
// an empty text means OpenStreetMap's public instance), Chinese names preferred. Asynchronous: done
// runs later on the main thread, and only while context lives. Every failure gives nothing, and only
// successes are cached. Requests from the whole process go out one at a time, at least a second apart.
void reverseGeocode(
    const GeoCoordinate& coordinate, const QString& serviceURL, QObject* context, PlaceCallback done);

// Called on the main thread with a message for the user when a request first gets no usable answer
// from the service (unreachable, timed out, an HTTP error status): once a process, so a long run does
// not repeat it. Replaces the handler set before.
void setUnreachableHandler(std::function<void(const QString& message)> handler);

// One place as the service describes it.
struct Placemark
{
    QString locality; // the city, town or village
    QString subLocality; // the district or neighbourhood within it
    QString name; // the point of interest or street
};

// The first place of a reply (Nominatim's jsonv2, json or geojson format); nothing for an error reply
// or one without a place.
std::optional<Placemark> placemarkFromReply(const QByteArray& body);

// Locality, sub-locality and name run together, each trimmed of spaces and tabs and left out when it is
// empty, repeats an earlier part or is longer than 12 characters. Nothing when no part is left.
std::optional<QString> placeName(const Placemark& placemark);

// "%.3f,%.3f" of latitude and longitude: coordinates within about 100 m share an entry.
QString cacheKey(const GeoCoordinate& coordinate);
std::optional<QString> cached(const QString& key);

// Test seams for the one-request-a-second pacing: a clock in milliseconds and a timer that calls fire
// after delayMs. reset() restores both, forgets the pacing and whether a failure was said, and empties
// the cache.
namespace GeocoderTesting {
void setClock(std::function<qint64()> clock);
void setTimer(std::function<void(qint64 delayMs, std::function<void()> fire)> timer);
void reset();
} // namespace GeocoderTesting

} // namespace PlaceResolver

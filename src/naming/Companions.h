// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/VideoItem.h"
#include "naming/UndoLog.h"

#include <QHash>
#include <QList>
#include <QString>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Files that belong to another file and travel with it when it is renamed:
// - sidecars: a file of the same folder named after the file's stem or its whole name, with one of the
//   extensions xmp, aae, thm, lrv, srt, pp3, dop (any letter case) — "IMG_0042.xmp", "IMG_0042.CR3.xmp";
// - pairs: the RAW and the JPEG/HEIC of one shot (same folder, same stem), and a Live Photo's picture
//   and its MOV of less than LiveMotionSeconds. When both halves are in the list the picture is the
//   half that is analysed; the other follows it.
// Free functions; those that read folders block on the file system.
namespace Companions {

inline constexpr double LiveMotionSeconds = 4.0;

// The name without its last extension; the whole name when it has none (".profile", "name.").
std::string stemOf(const std::string& name);
// The file name a sidecar belongs to by either rule, without the sidecar's extension: "IMG_0042" for
// "IMG_0042.xmp", "IMG_0042.CR3" for "IMG_0042.CR3.xmp"; nothing when the name is not a sidecar's.
std::optional<std::string> sidecarKey(const std::string& name);

struct Beside
{
    std::vector<std::filesystem::path> sidecars; // sorted by name
    bool pictureOfSameStem = false; // a JPEG/HEIC named like this file lies beside it
    // The names of the folder's files that share this file's stem (itself included), when a sidecar
    // is named after the stem alone: it goes with them only if they all go together.
    std::vector<std::string> stemOwners;
};
// What lies beside each file, reading every folder once. Only regular files are sidecars: a symbolic
// link or a folder with a sidecar's name is left where it is. A sidecar named after a stem that other
// files of the folder share ("IMG_0042.xmp" beside "IMG_0042.CR3" and "IMG_0042.JPG") counts only when
// all of them are among files: otherwise it may well belong to one that stays where it is.
std::vector<Beside> discover(const std::vector<std::filesystem::path>& files);

// Whether the file may be the moving half of a Live Photo, so that its length is worth reading.
bool mayBeLiveMotion(const std::filesystem::path& file, const Beside& beside);

// Works out the pairs of the list from scratch and each item's companions. A pair that has just formed
// shares the analysis one half already has. True when any item changed.
bool pairUp(QList<VideoItem>& items);

// Gives the item's partners its analysis, place, content, proposed name and status; returns their
// positions. positions maps ids to list positions.
QList<qsizetype> spread(QList<VideoItem>& items, qsizetype from, const QHash<QUuid, qsizetype>& positions);
// The same from every half that is analysed.
void spreadAll(QList<VideoItem>& items);

// Points the items' sidecars at their old paths again after an undo, then pairs the list anew.
void followUndo(QList<VideoItem>& items, const std::vector<UndoLog::Entry>& moves);

// "随附文件：" and the companions' names joined with "、"; empty when there are none.
QString describe(const VideoItem& item);

} // namespace Companions

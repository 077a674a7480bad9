// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <filesystem>
#include <string>

struct VideoItem;

// How long a file name may be, and how a name is cut to fit. Linux's own file systems count bytes;
// FAT, exFAT and NTFS count UTF-16 code units. Free functions, safe on any thread.
namespace NameBudget {

struct Limit
{
    qsizetype units = 255;
    bool utf16 = false;
};

// Room every proposed name keeps for a clash number up to "-99".
inline constexpr qsizetype ClashRoom = 3;

// The limit of names in this folder; 255 bytes when the folder cannot be asked.
Limit limitOf(const std::filesystem::path& folder);
// The same, asked of the file system at most once a few seconds for each folder: names are proposed
// for whole lists on the interface thread, a folder on a network mount or a sleeping disk at a time.
// Thread-safe. The rename itself asks limitOf.
Limit recentLimitOf(const std::filesystem::path& folder);

// Length of a name, or of part of one, as the limit counts: a name's bytes are those of its UTF-8
// form, native bytes are taken as they are.
qsizetype length(const QString& text, const Limit& limit);
qsizetype length(const std::string& nativeBytes, const Limit& limit);

// The longest start of text that ends between two user-perceived characters and is at most budget
// long, trimmed of horizontal space.
QString cut(const QString& text, qsizetype budget, const Limit& limit);

// The longest text that follows the base name in the item's own file name or in a companion's:
// ".MOV", or ".CR3.xmp" for a sidecar named after the whole file name.
qsizetype suffixLength(const VideoItem& item, const Limit& limit);

// Room for the base name of the item's new file name: the limit less the longest suffix and the clash
// room.
qsizetype baseBudget(const VideoItem& item, const Limit& limit);

} // namespace NameBudget

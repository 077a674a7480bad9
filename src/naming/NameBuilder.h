// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringView>

class AppSettings;
struct VideoItem;

// The proposed base name of a media file (no extension): date, place, content and original name,
// joined with the separator. Free functions of their arguments, safe on any thread.
namespace NameBuilder {

// Removed from every proposed name, here and again by the renamer.
inline constexpr QStringView ForbiddenCharacters = u"/\\:*?\"<>|";

// The name for this item under these settings; empty when no component is left.
QString build(const VideoItem& item, const AppSettings& settings);

// The final clean-up of a name: forbidden characters removed, each line feed made a space, horizontal
// white space trimmed at both ends (line breaks are not trimmed).
QString cleanName(const QString& name);

// The original file name without its extension (only the last dot-suffix goes), as text.
QString originalBaseName(const QString& fileName);

} // namespace NameBuilder

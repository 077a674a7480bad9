// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "naming/NameBudget.h"

#include <QString>
#include <QStringView>

#include <optional>
#include <string>

class AppSettings;
struct VideoItem;

// The proposed base name of a media file (no extension): date, place, content and original name,
// joined with the separator, short enough for the folder. Free functions, safe on any thread.
namespace NameBuilder {

// Removed from every proposed name, here and again by the renamer.
inline constexpr QStringView ForbiddenCharacters = u"/\\:*?\"<>|";

// The name for this item under these settings; empty when no component is left. A name too long for
// the item's folder (its own extension, its companions' suffixes and a clash number included) loses
// the end of the original name first, then of the content, then of the place, cut between
// user-perceived characters.
QString build(const VideoItem& item, const AppSettings& settings);
QString build(const VideoItem& item, const AppSettings& settings, const NameBudget::Limit& limit);

// The base name the item's file gets from a proposed name: cleaned (NULs removed too) and, when too
// long for its folder, cut at the end. What the renamer uses, and so what the window shows.
QString fileBaseName(const VideoItem& item, const QString& proposed);
// The same within an explicit budget.
QString fitName(const QString& proposed, qsizetype budget, const NameBudget::Limit& limit);

// The final clean-up of a name: forbidden characters and invisible controls (Text::isInvisibleControl,
// NUL among them: left in, it would cut the name short in every system call) removed, each line feed or tab made a space, horizontal white space trimmed at both ends, and a leading
// dot or dash trimmed, so that no name hides its file or reads as a command-line option.
QString cleanName(const QString& name);

// Why separator cannot join the parts of a name, as the end of a sentence about the field ("里有 Tab、
// 换行…"): a character that every name loses, so that the parts would run together. Nothing when it can
// (an empty separator can: the parts then simply follow each other).
std::optional<QString> separatorProblem(const QString& separator);

// The original file name without its extension (only the last dot-suffix goes), as text.
QString originalBaseName(const QString& fileName);

// The name the original-name part comes from: the file's name before its first rename by Velmora,
// else its current one; as bytes, without the extension.
std::string originalStem(const VideoItem& item);
// Bytes as text, each byte that is not part of valid UTF-8 shown as U+FFFD.
QString textOfName(const std::string& bytes);
// The bytes of a file name made from a name built or typed as text: UTF-8, except that where the name
// holds the text of a stem that is not UTF-8 (whole, or cut at the end of the name), that stem's own
// bytes go in.
std::string nameBytes(const QString& name, const std::string& stem);

} // namespace NameBuilder

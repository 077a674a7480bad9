// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <filesystem>
#include <optional>

// Place names for proposed file names, from the folders that hold a file. Free functions, safe on
// any thread.
namespace PlaceResolver {

// Whether a folder name can serve as a place: not a system, camera-roll or work folder name, and not
// just digits and punctuation.
bool isMeaningful(const QString& folderName);

// The outermost meaningful folder name among the maxDepth folders above the file, with runs of spaces
// collapsed. Looks only at the path text, never at the disk.
std::optional<QString> fromPath(const std::filesystem::path& file, int maxDepth);

} // namespace PlaceResolver

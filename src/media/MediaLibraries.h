// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <filesystem>

// One-time set-up of the media libraries (libvips, exiv2's XMP parser and BMFF support, quiet logging).
// Every media entry point calls it; it is cheap after the first call and safe on any thread.
namespace MediaLibraries {

void initialize();

// True for a regular file (after following links). Decoders must never open a FIFO, a device or a
// directory that merely carries a media extension: opening a FIFO blocks forever.
bool isRegularFile(const std::filesystem::path& path);

} // namespace MediaLibraries

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <filesystem>

// One-time set-up of the media libraries (libvips, exiv2's XMP parser and BMFF support, quiet logging).
// Every media entry point calls it; it is cheap after the first call and safe on any thread.
namespace MediaLibraries {

void initialize();

// initialize(), and what the libraries would otherwise load from disk when a format is first met: the
// loaders' modules and the local time zone. For a process that may not open files afterwards.
void preload();

// True for a regular file (after following links). Decoders must never open a FIFO, a device or a
// directory that merely carries a media extension: opening a FIFO blocks forever.
bool isRegularFile(const std::filesystem::path& path);

// A new descriptor reading the file, or -1 when it is not a regular file or cannot be opened. Never
// blocks on a FIFO or a device. Every file this module reads is opened here.
int openForReading(const std::filesystem::path& path);

// Replaces how openForReading opens a file, for a process that may open nothing itself (the decoder
// worker hands out descriptors it was given). Set before any file is read.
using Opener = int (*)(const std::filesystem::path& path);
void setOpener(Opener opener);

} // namespace MediaLibraries

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>

// The fuzz targets for file openers hand each input over as a file. An input is the file's extension, a
// NUL byte and the file's content ("dng\0<bytes>"), so one target reaches every format whose handling
// depends on the name. The file lives in a folder of its own, made on first use and removed at exit.
namespace FuzzFile {

// The names the import takes, and those cameras write that reach the same decoders.
inline constexpr std::array<std::string_view, 24> PhotoExtensions { "jpg", "jpeg", "png", "tif", "tiff",
    "webp", "heic", "heif", "hif", "avif", "bmp", "gif", "dng", "cr2", "crw", "cr3", "nef", "nrw", "arw",
    "raf", "rw2", "orf", "pef", "srw" };
inline constexpr std::array<std::string_view, 14> VideoExtensions { "mp4", "mov", "m4v", "avi", "mkv", "webm",
    "wmv", "flv", "ts", "mpg", "mpeg", "mts", "m2ts", "3gp" };

struct Input
{
    std::string_view extension;
    std::span<const uint8_t> content;
};

// The input split at its first NUL byte; nothing when the extension before it is not one of known.
std::optional<Input> split(const uint8_t* data, size_t size, std::span<const std::string_view> known);

// Writes the content to input.<extension> in the private folder, replacing the previous input, and
// returns that path. Aborts when the file cannot be written: no result would mean anything then.
std::filesystem::path write(const Input& input);

} // namespace FuzzFile

// SPDX-License-Identifier: GPL-3.0-or-later
#include "FuzzFile.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <unistd.h>

namespace FuzzFile {

namespace {

std::filesystem::path s_folder;
std::filesystem::path s_current;

void removeFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(s_folder, ignored);
}

const std::filesystem::path& folder()
{
    if (s_folder.empty()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "velmora-fuzz-XXXXXX").native();
        if (!::mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            std::abort();
        }
        s_folder = pattern;
        std::atexit(removeFolder);
    }
    return s_folder;
}

} // namespace

std::optional<Input> split(const uint8_t* data, size_t size, std::span<const std::string_view> known)
{
    const auto* end = data + size;
    const auto* nul = std::find(data, end, uint8_t(0));
    if (nul == end)
        return std::nullopt;
    const std::string_view extension(reinterpret_cast<const char*>(data), size_t(nul - data));
    const auto match = std::find(known.begin(), known.end(), extension);
    if (match == known.end())
        return std::nullopt;
    return Input { *match, std::span<const uint8_t>(nul + 1, end) };
}

std::filesystem::path write(const Input& input)
{
    std::filesystem::path path = folder() / "input.";
    path += input.extension;
    // One file at a time: a name with another extension must not keep an older input's bytes.
    if (!s_current.empty() && s_current != path)
        ::unlink(s_current.c_str());
    s_current = path;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file || std::fwrite(input.content.data(), 1, input.content.size(), file) != input.content.size()
        || std::fclose(file) != 0) {
        std::perror(path.c_str());
        std::abort();
    }
    return path;
}

} // namespace FuzzFile

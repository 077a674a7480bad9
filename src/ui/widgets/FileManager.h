// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <filesystem>

// The desktop's file manager.
namespace FileManager {

// The file URI of a native path; bytes that are not UTF-8 are percent-encoded as they are.
QString fileUri(const std::filesystem::path& path);

// Shows the file selected in its folder (org.freedesktop.FileManager1.ShowItems over the session
// bus), or, where no file manager offers that, opens the folder. Returns at once.
void showInFolder(const std::filesystem::path& file);

} // namespace FileManager

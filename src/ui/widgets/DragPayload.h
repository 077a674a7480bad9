// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <filesystem>
#include <optional>
#include <vector>

class QMimeData;
class QUrl;

// Files handed over by a drag from a file manager (text/uri-list) or a desktop launcher.
namespace DragPayload {

// The local files and folders of the drag, in its order, as native byte paths: names that are not
// valid UTF-8 stay exact. Web links and other non-local entries are left out.
std::vector<std::filesystem::path> localPaths(const QMimeData* mime);

// The native path of a file URL on this machine, or nothing.
std::optional<std::filesystem::path> localPath(const QUrl& url);

// A path a file dialog returned. Dialogs hand back text, in which bytes that are not UTF-8 became
// replacement characters; such a name is looked up again among its folder's entries, and kept as it is
// when no entry matches.
std::filesystem::path fromDialog(const QString& path);

} // namespace DragPayload

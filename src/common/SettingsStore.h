// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QSettings>
#include <QString>

#include <memory>

// The per-user preferences store: one JSON file, read and written through QSettings so that booleans,
// integers and strings keep their types. Used on the main thread.
namespace SettingsStore {

// $XDG_CONFIG_HOME/velmora/velmora.json
QString defaultPath();

// Opens the store at path. A file that exists but is not a JSON object is moved aside first
// (to "<path>.corrupt", or "<path>.corrupt.N" when that is taken), so the defaults load and the
// next write cannot destroy what the user had.
std::unique_ptr<QSettings> open(const QString& path);

// Writes pending changes; the file is replaced atomically and kept at mode 0600 (it holds the API key).
// False when it could not be written.
bool sync(QSettings& settings);

// Where open() last moved a damaged file, or empty. For the caller's message.
QString lastQuarantinePath();

} // namespace SettingsStore

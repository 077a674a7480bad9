// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// Per-user locations, following the XDG base directory rules.
namespace Paths {

// $XDG_CONFIG_HOME/velmora (through QStandardPaths, so tests can redirect it).
QString configDir();
// $XDG_STATE_HOME/velmora when XDG_STATE_HOME is absolute, else ~/.local/state/velmora.
QString stateDir();
// $XDG_CACHE_HOME/velmora (through QStandardPaths, so tests can redirect it).
QString cacheDir();
// Creates the directory and any missing parents; a directory it creates gets mode 0700.
bool makePrivateDir(const QString& path);

} // namespace Paths

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "catalogue/Sqlite.h"

#include <QString>

#include <filesystem>

// Where the catalogue lives and how it is made ready before a Reader or Writer opens it. Call
// prepare() once at start, before the event loop gets busy; it may take a moment on a large database.
namespace Catalogue {

constexpr int BusyTimeoutMs = 5000;

// $XDG_DATA_HOME/velmora/catalogue.sqlite (through QStandardPaths, so tests can redirect it).
std::filesystem::path defaultLocation();

struct Opening
{
    enum class State
    {
        Ready,
        Disabled, // run without a catalogue; message says why
    };
    State state = State::Disabled;
    // For the status line; empty when there is nothing to say.
    QString message;
    // Where an unreadable database was moved, when it was.
    std::filesystem::path movedAside;

    bool isReady() const
    {
        return state == State::Ready;
    }
};

// Makes the folder (0700) and the file (0600), switches to WAL and brings the schema up to date. A
// file that is not a readable SQLite database is moved aside, never overwritten, and a fresh one is
// made. A database written by a newer version is left untouched and the catalogue is disabled, as it is
// when the folder or the disk cannot be written.
Opening prepare(const std::filesystem::path& file);

// A connection to a prepared catalogue, for readers and the writer.
Sqlite::Connection connect(const std::filesystem::path& file, bool isReadOnly);

} // namespace Catalogue

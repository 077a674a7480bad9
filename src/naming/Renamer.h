// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/VideoItem.h"
#include "naming/UndoLog.h"

#include <QList>

#include <filesystem>
#include <optional>
#include <vector>

// Renames a batch of media files to their proposed names, each within its folder, and makes the
// batch reversible through an undo log in the private undo directory. Free functions that block on
// file-system calls on the caller's thread; never throw. A move never replaces an existing file.
namespace Renamer {

// Renames every item whose status is analyzed or naming and whose cleaned proposed name is not empty,
// cut to fit the folder when too long; a taken name gets "-2", "-3" … before the extension. The halves
// of a pair take the name of the half that was analysed, and sidecars go with their file: such a
// group moves to the next number when any of its names is taken. Renamed items get their new url,
// sidecars and the status renamed; an item whose move fails gets error and the batch goes on. Returns
// the undo log of the batch (sidecars are entries like any file), or nothing when no file was renamed.
// Killed at any instant, the batch leaves a journal that recoverInterrupted() turns into a complete
// log.
std::optional<std::filesystem::path> rename(QList<VideoItem>& items);

struct UndoResult
{
    enum class Outcome
    {
        Replayed, // the log was read and removed (restored may still be 0)
        Unreadable, // no such file, or it cannot be read; nothing changed
        Malformed, // not an undo log; left in place
        Busy, // the journal of a batch that is still running
    };
    Outcome outcome = Outcome::Replayed;
    int restored = 0;
    // Entries left as they were: the renamed file is gone, or its old path is taken.
    int skipped = 0;
    // Each file moved back, so that callers can point their items at the old paths again.
    std::vector<UndoLog::Entry> moves;
};

// Moves every file of the log back to its old path when that is free and the renamed file is still
// there, then removes the log; a sidecar goes back only when its file does. Also takes the journal of
// an interrupted batch.
UndoResult undo(const std::filesystem::path& log);

// $XDG_STATE_HOME/velmora/undo
std::filesystem::path undoDirectory();

// Turns the journals of batches that were killed into undo logs; returns the logs written.
std::vector<std::filesystem::path> recoverInterrupted();

// The newest undo log of this user, or nothing.
std::optional<std::filesystem::path> latestLog();

} // namespace Renamer

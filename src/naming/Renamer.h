// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/VideoItem.h"
#include "naming/RenamePlan.h"
#include "naming/UndoLog.h"

#include <QList>

#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// Renames a batch of media files to their proposed names, each within its folder, and makes the
// batch reversible through an undo log in the private undo directory. Free functions that block on
// file-system calls on the caller's thread; never throw. A move never replaces an existing file.
namespace Renamer {

// Whether rename() takes the item: analysed or naming, or pending or failed with a name the user typed,
// and with a proposed name.
bool isEligible(const VideoItem& item);

// Renames every eligible item whose cleaned proposed name is not empty,
// cut to fit the folder when too long; a taken name gets "-2", "-3" … before the extension. The halves
// of a pair take the name of the half that was analysed, and sidecars go with their file: such a
// group moves to the next number when any of its names is taken. Renamed items get their new url,
// sidecars and the status renamed. An item whose move fails gets the reason in renameFailure, and the
// status error only when its file is gone; the batch goes on. Returns
// the undo log of the batch (sidecars are entries like any file), or nothing when no file was renamed.
// Killed at any instant, the batch leaves a journal that recoverInterrupted() turns into a complete
// log.
std::optional<std::filesystem::path> rename(QList<VideoItem>& items);

// What rename() would do with these items now, worked out the same way but without changing a file:
// each file that would move and where to, each file that would not and why. Files that appear or go
// between the check and the rename are found by the rename itself, which never replaces a file.
RenamePlan::Plan check(const QList<VideoItem>& items);

struct UndoResult
{
    enum class Outcome
    {
        Replayed, // the log was read and its entries tried (restored may still be 0)
        Unreadable, // no such file, or it cannot be read; nothing changed
        Malformed, // not an undo log; left in place
        Busy, // the journal of a batch that is still running
        Refused, // from outside the private directory, and another user owns it or may change it
    };
    // Why an entry was not moved back.
    enum class Reason
    {
        Gone, // the renamed file is not there
        FolderGone, // nor its folder: a disk that is not mounted, perhaps
        OriginalTaken, // another file has the old name now
        FileNotBack, // a sidecar whose file did not go back
        MoveFailed, // the system refused the move; error says why
        // Refused: no batch makes such entries, or the file is another one now.
        TwoFolders,
        NotRegularFile,
        OtherFile,
    };
    struct Failure
    {
        UndoLog::Entry entry;
        Reason reason = Reason::Gone;
        int error = 0;
    };

    Outcome outcome = Outcome::Replayed;
    int restored = 0;
    // Each file moved back, so that callers can point their items at the old paths again.
    std::vector<UndoLog::Entry> moves;
    // Each entry left as it was, in the log's order.
    std::vector<Failure> failures;
    // The log that keeps the entries a later undo may still finish (old name taken, a move refused by
    // the system, a folder away): the replayed log itself when it was a private one, else a new one in
    // the private directory. Nothing when no such entry is left.
    std::optional<std::filesystem::path> remaining;
};

// Moves every file of the log back to its old path when that is free, then removes the log or keeps
// what is left of it. An entry moves back only within one folder, and only the regular file (or the
// symbolic link) that the batch recorded; a sidecar goes back only when its file does. A log or
// journal from outside the private directory is read only when it is this user's and no one else may
// change it, and it is never changed or removed. Also takes the journal of an interrupted batch.
UndoResult undo(const std::filesystem::path& log);

// Why the entry was not moved back, as the user reads it.
QString reasonText(const UndoResult::Failure& failure);

// $XDG_STATE_HOME/velmora/undo
std::filesystem::path undoDirectory();

// Turns the journals of batches that were killed into undo logs; returns the logs written.
std::vector<std::filesystem::path> recoverInterrupted();

// The names files had before their first rename, from this user's undo logs, by the path each log
// renamed them to (chains of batches followed back to the first). A value, loaded once per import.
class OriginalNames
{
public:
    static OriginalNames load();
    // The name the file at path had before Velmora first renamed it, as bytes; empty when none is known
    // or when the log says the file there is another one.
    std::string of(const std::filesystem::path& path) const;

private:
    std::unordered_map<std::string, UndoLog::Entry> m_byRenamed;
};

// The moves a log records, read without changing it; nothing when it cannot be read or is no log.
std::optional<std::vector<UndoLog::Entry>> entriesOf(const std::filesystem::path& log);

// The newest undo log of this user, or nothing.
std::optional<std::filesystem::path> latestLog();

} // namespace Renamer

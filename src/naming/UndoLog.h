// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

#include <filesystem>
#include <optional>
#include <sys/types.h>
#include <vector>

// The files behind a rename batch, in the private undo directory:
// - the undo log "tagora_undo_<seconds>.json": one JSON object {path after renaming: path before};
//   since files are identified too, a value may be {"original": path before, "device": …, "inode": …};
// - while the batch runs, its journal "<log name>.journal": one line per intended move, written before
//   the move, so a batch killed at any instant can still be turned into a complete log.
// Used by Renamer on the caller's thread; no shared state.
namespace UndoLog {

// One move of a batch. The identity of the file (its device and inode, 0 when a log does not say)
// lets undo and recovery tell it from another file that took its name since.
struct Entry
{
    std::filesystem::path renamed;
    std::filesystem::path original;
    dev_t device = 0;
    ino_t inode = 0;

    bool isIdentified() const
    {
        return inode != 0;
    }
};

// One intended move of a batch that is running.
using Intent = Entry;

// A path as a JSON string: the plain path when its bytes are UTF-8, otherwise "bytes:" followed by
// the percent-encoded bytes. Real entries are absolute paths, so the two forms cannot be confused.
QString encodePath(const std::filesystem::path& path);
std::optional<std::filesystem::path> decodePath(const QString& text);

// The pretty-printed log object.
QByteArray serialize(const std::vector<Entry>& entries);
// Nothing when the text is not a JSON object whose values are all strings or identified entries.
// Members whose paths are not absolute (or not decodable) are left out.
std::optional<std::vector<Entry>> parse(const QByteArray& json);

// Creates path with these bytes, mode 0600, atomically (a reader sees all or nothing) and durably,
// never replacing an existing file unless told to. False on any failure, leaving nothing behind.
bool writeNewFile(const std::filesystem::path& path, const QByteArray& bytes, bool replace = false);

// Writes the entries as a new log "tagora_undo_<now>.json" (numbered when taken) in dir.
std::optional<std::filesystem::path> writeNewLog(
    const std::filesystem::path& dir, const std::vector<Entry>& entries);

// Whether the open file is a regular file of this user that no other user may change: the only
// kind of log or journal from outside the private directory that is replayed.
bool isOwnedPrivately(int fd);

// Creates the directory (mode 0700) when missing and tightens it to 0700 when it is ours. False
// when it cannot be used privately.
bool preparePrivateDir(const std::filesystem::path& dir);

// Log names in dir, newest first by the time in the name; journals and other files are not listed.
std::vector<std::filesystem::path> logsNewestFirst(const std::filesystem::path& dir);
// The time in a log's name, in seconds since the epoch; nothing for a name that is not a log's.
std::optional<qint64> timeOfLog(const std::filesystem::path& log);
bool isJournal(const std::filesystem::path& path);
std::filesystem::path logOfJournal(const std::filesystem::path& journal);

// The journal of one running batch. It holds an exclusive lock on its file for its whole life, so
// that recovery in another process (or this one) never mistakes a running batch for a dead one.
class Journal
{
public:
    // Reserves a log name "tagora_undo_<now>.json" (with "-2", "-3" … when taken) and creates its
    // journal holding these intents, durably, before it becomes visible. Nothing on failure.
    static std::optional<Journal> begin(const std::filesystem::path& dir, const std::vector<Intent>& intents);

    Journal(Journal&& other) noexcept;
    Journal& operator=(Journal&&) = delete;
    Journal(const Journal&) = delete;
    ~Journal();

    // Appends one more intent and waits until it is on disk. Once an append has failed, every later one
    // fails too.
    bool append(const Intent& intent);

    // Writes the log of the moves that happened and removes the journal. With no entries only the
    // journal goes. When the log cannot be written the journal stays for recovery, and its path is
    // returned instead.
    std::optional<std::filesystem::path> commit(const std::vector<Entry>& entries);

    const std::filesystem::path& logPath() const
    {
        return m_logPath;
    }
    const std::filesystem::path& path() const
    {
        return m_path;
    }

private:
    Journal(int fd, std::filesystem::path path, std::filesystem::path logPath);

    int m_fd = -1;
    std::filesystem::path m_path;
    std::filesystem::path m_logPath;
    bool m_broken = false;
};

// Opens a journal left behind by a batch and locks it. Nothing when it is in use by a running batch
// or cannot be opened.
class JournalReader
{
public:
    static std::optional<JournalReader> open(const std::filesystem::path& journal);

    JournalReader(JournalReader&& other) noexcept;
    JournalReader& operator=(JournalReader&&) = delete;
    JournalReader(const JournalReader&) = delete;
    ~JournalReader();

    // Every complete intent line; a torn last line is skipped.
    std::vector<Intent> intents() const;
    bool isOwnedPrivately() const;

private:
    explicit JournalReader(int fd);
    int m_fd = -1;
};

// Removes temporary files of writers that died; those still being written are left alone.
void removeStaleTemporaries(const std::filesystem::path& dir);

} // namespace UndoLog

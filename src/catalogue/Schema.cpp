// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalogue/Schema.h"

#include <QByteArray>

#include <array>

namespace Catalogue::Schema {

namespace {

// Identities are (size, 16-byte hash). Paths are BLOBs: they need not be UTF-8. Times are milliseconds
// since the epoch, UTC. Enumerations are stored by name.
bool toVersion1(Sqlite::Connection& db)
{
    return db.exec(R"sql(
        CREATE TABLE files (
            id INTEGER PRIMARY KEY,
            size INTEGER NOT NULL,
            hash BLOB NOT NULL,
            device INTEGER,
            inode INTEGER,
            mtime_ns INTEGER,
            path BLOB NOT NULL,
            kind TEXT NOT NULL,
            capture_date INTEGER,
            capture_source TEXT NOT NULL DEFAULT '',
            place TEXT,
            latitude REAL,
            longitude REAL,
            seen_at INTEGER NOT NULL,
            UNIQUE (size, hash)
        );
        CREATE INDEX files_by_stamp ON files (device, inode);

        CREATE TABLE analyses (
            id INTEGER PRIMARY KEY,
            file_id INTEGER NOT NULL REFERENCES files (id) ON DELETE CASCADE,
            engine TEXT NOT NULL,
            model TEXT NOT NULL,
            frame_count INTEGER NOT NULL,
            prompt_version INTEGER NOT NULL,
            raw_reply TEXT NOT NULL,
            content TEXT NOT NULL,
            place_guess TEXT NOT NULL,
            duration_ms INTEGER NOT NULL,
            analyzed_at INTEGER NOT NULL,
            UNIQUE (file_id, engine, model, frame_count, prompt_version)
        );

        CREATE TABLE thumbnails (
            file_id INTEGER PRIMARY KEY REFERENCES files (id) ON DELETE CASCADE,
            jpeg BLOB NOT NULL
        );

        CREATE TABLE session (
            id TEXT PRIMARY KEY,
            position INTEGER NOT NULL,
            file_id INTEGER REFERENCES files (id) ON DELETE SET NULL,
            path BLOB NOT NULL,
            kind TEXT NOT NULL,
            status TEXT NOT NULL,
            proposed_name TEXT NOT NULL,
            edited_content TEXT,
            edited_place TEXT,
            edited_name TEXT,
            error_text TEXT NOT NULL,
            companions BLOB NOT NULL,
            is_selected INTEGER NOT NULL
        ) WITHOUT ROWID;
        CREATE INDEX session_by_position ON session (position);
        CREATE INDEX session_by_file ON session (file_id);

        CREATE TABLE batches (
            id INTEGER PRIMARY KEY,
            undo_log BLOB NOT NULL UNIQUE,
            renamed_at INTEGER NOT NULL,
            file_count INTEGER NOT NULL,
            undone_at INTEGER
        );
    )sql");
}

// What else the core keeps of a list entry, in its own versioned form: the catalogue stores it as it is.
bool toVersion2(Sqlite::Connection& db)
{
    return db.exec("ALTER TABLE session ADD COLUMN details BLOB NOT NULL DEFAULT x''");
}

// What the user typed, kept per file as well as per list entry: a file added again after the list was
// cleared, or after another program renamed it, gets its edits back. NULL: the field was not edited.
// The edits the saved list holds are carried over.
bool toVersion3(Sqlite::Connection& db)
{
    return db.exec(R"sql(
        CREATE TABLE edits (
            file_id INTEGER PRIMARY KEY REFERENCES files (id) ON DELETE CASCADE,
            content TEXT,
            place TEXT,
            name TEXT,
            edited_at INTEGER NOT NULL
        );
        INSERT OR REPLACE INTO edits (file_id, content, place, name, edited_at)
            SELECT file_id, edited_content, edited_place, edited_name,
                CAST((julianday('now') - 2440587.5) * 86400000 AS INTEGER)
            FROM session WHERE file_id IS NOT NULL
                AND coalesce(edited_content, edited_place, edited_name) IS NOT NULL
            ORDER BY position;
    )sql");
}

using Step = bool (*)(Sqlite::Connection&);
// Step i brings version i to version i + 1. Add new steps at the end; never change a released one.
constexpr std::array<Step, 3> Steps { toVersion1, toVersion2, toVersion3 };

} // namespace

int currentVersion()
{
    return int(Steps.size());
}

bool migrate(Sqlite::Connection& db, int target)
{
    const std::optional<qint64> version = db.queryInt("PRAGMA user_version");
    if (!version || *version > target || target > currentVersion())
        return false;
    for (int from = int(*version); from < target; ++from) {
        Sqlite::Transaction transaction(db);
        const QByteArray setVersion = "PRAGMA user_version = " + QByteArray::number(from + 1);
        if (!transaction.isActive() || !Steps[std::size_t(from)](db) || !db.exec(setVersion.constData())
            || !transaction.commit())
            return false;
    }
    return true;
}

} // namespace Catalogue::Schema

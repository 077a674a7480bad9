// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "catalogue/Records.h"
#include "catalogue/Sqlite.h"

#include <filesystem>
#include <optional>
#include <vector>

// A read-only connection to a prepared catalogue. Sees what the writer has committed. Used by one
// thread at a time: the interface thread at start to restore the session, or an import thread, each
// with its own Reader. lookup() reads the file and may hash it: never on the interface thread.
namespace Catalogue {

// What lookup() found out about a file on disk.
struct FileLookup
{
    FileStamp stamp;
    FileIdentity identity; // without a hash when no stored file has the size: its content is new
    std::optional<FileRecord> known; // the stored record of this content, if any
    bool wasHashed = false; // false when the stamp alone matched a stored file
    std::optional<AnalysisRecord> analysis; // made with the key asked for
    QByteArray thumbnail; // only with an analysis
    std::optional<HandEdits> edits; // what the user typed for this content, with any key
};

// Stored results and how much room they take.
struct Usage
{
    qint64 analyses = 0;
    qint64 bytes = 0;
};

class Reader
{
public:
    explicit Reader(const std::filesystem::path& database);

    bool isOpen() const
    {
        return m_db.isValid();
    }

    // The reads of its lifetime see one state of the catalogue and take its locks once, which makes a
    // run of lookups several times faster. Keep it short: the writer cannot fold its log into the
    // file past a snapshot that is still being read.
    class Snapshot
    {
    public:
        explicit Snapshot(Reader& reader);
        ~Snapshot();
        Snapshot(const Snapshot&) = delete;
        Snapshot& operator=(const Snapshot&) = delete;

    private:
        Sqlite::Connection& m_db;
        bool m_isActive = false;
    };

    // The stored record of the file at path: by (device, inode, size, mtime) when that matches, so an
    // unchanged file is not read; otherwise, when a stored file has its size, by hashing it, which
    // finds a file that was renamed, moved or copied, and does not find one whose content changed.
    // With it come its hand edits and, with a key, its analysis made with that key and its thumbnail,
    // all in one query. Nothing when the file cannot be read.
    std::optional<FileLookup> lookup(
        const std::filesystem::path& path, const std::optional<AnalysisKey>& key = std::nullopt);

    std::optional<FileRecord> file(const FileIdentity& identity);
    std::optional<AnalysisRecord> analysis(const FileIdentity& identity, const AnalysisKey& key);
    // The newest analysis of the file, whatever its settings.
    std::optional<AnalysisRecord> latestAnalysis(const FileIdentity& identity);
    QByteArray thumbnail(const FileIdentity& identity);
    // What the user last typed for this content, in any list entry.
    std::optional<HandEdits> edits(const FileIdentity& identity);
    // The saved work list, in order.
    std::vector<SessionEntry> session();
    // Newest first.
    std::vector<BatchRecord> batches();
    Usage usage();

private:
    std::optional<FileRecord> fileWhere(Sqlite::Statement& query);
    std::optional<AnalysisRecord> analysisFrom(Sqlite::Statement& query);
    // Steps a lookup query bound to its file; the record, its analysis and thumbnail when it has one.
    bool lookupRow(Sqlite::Statement& query, const std::optional<AnalysisKey>& key, FileLookup& found);
    bool hasSize(qint64 size);

    Sqlite::Connection m_db;
    Sqlite::Statement m_lookupByStamp;
    Sqlite::Statement m_lookupByIdentity;
    Sqlite::Statement m_byIdentity;
    Sqlite::Statement m_bySize;
    Sqlite::Statement m_analysis;
    Sqlite::Statement m_latestAnalysis;
    Sqlite::Statement m_thumbnail;
    Sqlite::Statement m_edits;
};

} // namespace Catalogue

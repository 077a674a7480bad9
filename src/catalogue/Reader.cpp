// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalogue/Reader.h"

#include "catalogue/Columns.h"
#include "catalogue/Database.h"

#include <fcntl.h>
#include <unistd.h>

using namespace Catalogue::Columns;

namespace Catalogue {

namespace {

#define FILE_COLUMNS                                                                                         \
    "size, hash, device, inode, mtime_ns, path, kind, capture_date, capture_source, place, latitude, "       \
    "longitude"
#define ANALYSIS_COLUMNS                                                                                     \
    "engine, model, frame_count, prompt_version, raw_reply, content, place_guess, duration_ms, analyzed_at"
// A file's record (the columns of FILE_COLUMNS) with its analysis for a key (?3 to ?6), with that
// analysis its thumbnail, and its hand edits.
#define LOOKUP_QUERY(WHERE)                                                                                  \
    "SELECT f.size, f.hash, f.device, f.inode, f.mtime_ns, f.path, f.kind, f.capture_date, "                 \
    "f.capture_source, f.place, f.latitude, f.longitude, a.engine, a.model, a.frame_count, "                 \
    "a.prompt_version, a.raw_reply, a.content, a.place_guess, a.duration_ms, a.analyzed_at, t.jpeg, "        \
    "e.file_id, e.content, e.place, e.name FROM files f "                                                    \
    "LEFT JOIN analyses a ON a.file_id = f.id AND a.engine = ?3 AND a.model = ?4 AND a.frame_count = ?5 "    \
    "AND a.prompt_version = ?6 LEFT JOIN thumbnails t ON a.id IS NOT NULL AND t.file_id = f.id "             \
    "LEFT JOIN edits e ON e.file_id = f.id WHERE " WHERE

constexpr int FileColumnCount = 12;
constexpr int ThumbnailColumn = FileColumnCount + 9;
constexpr int EditsColumn = ThumbnailColumn + 1;

FileRecord fileAt(const Sqlite::Statement& query)
{
    FileRecord record;
    record.identity = { query.integer(0), query.blob(1) };
    record.stamp
        = { quint64(query.integer(2)), quint64(query.integer(3)), query.integer(0), query.integer(4) };
    record.path = pathFrom(query.blob(5));
    record.kind = mediaKindFromRaw(query.text(6)).value_or(MediaKind::Video);
    if (!query.isNull(7))
        record.captureDate = timeFrom(query.integer(7));
    record.captureSource = query.text(8);
    record.place = query.optionalText(9);
    if (!query.isNull(10) && !query.isNull(11))
        record.coordinate = GeoCoordinate { query.real(10), query.real(11) };
    return record;
}

AnalysisRecord analysisAt(const Sqlite::Statement& query, int first)
{
    return {
        { query.text(first), query.text(first + 1), int(query.integer(first + 2)),
            int(query.integer(first + 3)) },
        query.text(first + 4),
        query.text(first + 5),
        query.text(first + 6),
        query.integer(first + 7),
        timeFrom(query.integer(first + 8)),
    };
}

} // namespace

Reader::Reader(const std::filesystem::path& database)
    : m_db(connect(database, true))
{
    m_lookupByStamp = m_db.prepare(LOOKUP_QUERY("f.device = ?1 AND f.inode = ?2"));
    m_lookupByIdentity = m_db.prepare(LOOKUP_QUERY("f.size = ?1 AND f.hash = ?2"));
    m_byIdentity = m_db.prepare("SELECT " FILE_COLUMNS " FROM files WHERE size = ?1 AND hash = ?2");
    m_bySize = m_db.prepare("SELECT 1 FROM files WHERE size = ?1 LIMIT 1");
    m_analysis = m_db.prepare("SELECT " ANALYSIS_COLUMNS " FROM analyses WHERE file_id = "
                              "(SELECT id FROM files WHERE size = ?1 AND hash = ?2) AND engine = ?3 "
                              "AND model = ?4 AND frame_count = ?5 AND prompt_version = ?6");
    m_latestAnalysis = m_db.prepare("SELECT " ANALYSIS_COLUMNS " FROM analyses WHERE file_id = "
                                    "(SELECT id FROM files WHERE size = ?1 AND hash = ?2) "
                                    "ORDER BY analyzed_at DESC, id DESC LIMIT 1");
    m_thumbnail = m_db.prepare(
        "SELECT jpeg FROM thumbnails WHERE file_id = (SELECT id FROM files WHERE size = ?1 AND hash = ?2)");
    m_edits = m_db.prepare("SELECT content, place, name FROM edits WHERE file_id = "
                           "(SELECT id FROM files WHERE size = ?1 AND hash = ?2)");
}

Reader::Snapshot::Snapshot(Reader& reader)
    : m_db(reader.m_db)
    , m_isActive(m_db.isValid() && m_db.exec("BEGIN"))
{ }

Reader::Snapshot::~Snapshot()
{
    if (m_isActive)
        m_db.exec("COMMIT");
}

std::optional<FileRecord> Reader::fileWhere(Sqlite::Statement& query)
{
    std::optional<FileRecord> record;
    if (query.step() == SQLITE_ROW)
        record = fileAt(query);
    query.reset();
    return record;
}

bool Reader::lookupRow(Sqlite::Statement& query, const std::optional<AnalysisKey>& key, FileLookup& found)
{
    if (key)
        query.bind(3, key->engine).bind(4, key->model).bind(5, key->frameCount).bind(6, key->promptVersion);
    else
        query.bindNull(3).bindNull(4).bindNull(5).bindNull(6);
    const bool hasRow = query.step() == SQLITE_ROW;
    if (hasRow) {
        found.known = fileAt(query);
        if (!query.isNull(FileColumnCount)) {
            found.analysis = analysisAt(query, FileColumnCount);
            found.thumbnail = query.blob(ThumbnailColumn);
        }
        if (!query.isNull(EditsColumn)) {
            found.edits = HandEdits { query.optionalText(EditsColumn + 1),
                query.optionalText(EditsColumn + 2), query.optionalText(EditsColumn + 3) };
        }
    }
    query.reset();
    return hasRow;
}

std::optional<FileLookup> Reader::lookup(
    const std::filesystem::path& path, const std::optional<AnalysisKey>& key)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    std::optional<FileLookup> found;
    if (const std::optional<FileStamp> stamp = stampOf(fd)) {
        FileLookup byStamp { *stamp, {}, {}, false, {}, {}, {} };
        m_lookupByStamp.bind(1, qint64(stamp->device)).bind(2, qint64(stamp->inode));
        if (lookupRow(m_lookupByStamp, key, byStamp) && byStamp.known->stamp == *stamp) {
            byStamp.identity = byStamp.known->identity;
            found = std::move(byStamp);
        } else if (!hasSize(stamp->size)) {
            // Size is part of the identity: no stored file has this one, so the content is new and
            // hashing it would find nothing. It is hashed when there is something to keep.
            found = FileLookup { *stamp, FileIdentity { stamp->size, {} }, {}, false, {}, {}, {} };
        } else if (const std::optional<FileIdentity> identity = identityOf(fd)) {
            found = FileLookup { *stamp, *identity, {}, true, {}, {}, {} };
            m_lookupByIdentity.bind(1, identity->size).bindBlob(2, identity->hash);
            lookupRow(m_lookupByIdentity, key, *found);
        }
    }
    ::close(fd);
    return found;
}

bool Reader::hasSize(qint64 size)
{
    m_bySize.bind(1, size);
    const bool found = m_bySize.step() == SQLITE_ROW;
    m_bySize.reset();
    return found;
}

std::optional<FileRecord> Reader::file(const FileIdentity& identity)
{
    m_byIdentity.bind(1, identity.size).bindBlob(2, identity.hash);
    return fileWhere(m_byIdentity);
}

std::optional<AnalysisRecord> Reader::analysisFrom(Sqlite::Statement& query)
{
    std::optional<AnalysisRecord> record;
    if (query.step() == SQLITE_ROW)
        record = analysisAt(query, 0);
    query.reset();
    return record;
}

std::optional<AnalysisRecord> Reader::analysis(const FileIdentity& identity, const AnalysisKey& key)
{
    m_analysis.bind(1, identity.size).bindBlob(2, identity.hash);
    m_analysis.bind(3, key.engine).bind(4, key.model).bind(5, key.frameCount).bind(6, key.promptVersion);
    return analysisFrom(m_analysis);
}

std::optional<AnalysisRecord> Reader::latestAnalysis(const FileIdentity& identity)
{
    m_latestAnalysis.bind(1, identity.size).bindBlob(2, identity.hash);
    return analysisFrom(m_latestAnalysis);
}

QByteArray Reader::thumbnail(const FileIdentity& identity)
{
    m_thumbnail.bind(1, identity.size).bindBlob(2, identity.hash);
    const QByteArray jpeg = m_thumbnail.step() == SQLITE_ROW ? m_thumbnail.blob(0) : QByteArray();
    m_thumbnail.reset();
    return jpeg;
}

std::optional<HandEdits> Reader::edits(const FileIdentity& identity)
{
    m_edits.bind(1, identity.size).bindBlob(2, identity.hash);
    std::optional<HandEdits> edits;
    if (m_edits.step() == SQLITE_ROW)
        edits = HandEdits { m_edits.optionalText(0), m_edits.optionalText(1), m_edits.optionalText(2) };
    m_edits.reset();
    return edits;
}

std::vector<SessionEntry> Reader::session()
{
    Sqlite::Statement query
        = m_db.prepare("SELECT s.id, s.position, f.size, f.hash, s.path, s.kind, s.status, s.proposed_name, "
                       "s.edited_content, "
                       "s.edited_place, s.edited_name, s.error_text, s.companions, s.is_selected, s.details "
                       "FROM session s LEFT JOIN files f ON f.id = s.file_id ORDER BY s.position");
    std::vector<SessionEntry> entries;
    while (query.step() == SQLITE_ROW) {
        SessionEntry& entry = entries.emplace_back();
        entry.id = QUuid::fromString(query.text(0));
        entry.position = query.integer(1);
        if (!query.isNull(2))
            entry.identity = FileIdentity { query.integer(2), query.blob(3) };
        entry.path = pathFrom(query.blob(4));
        entry.kind = mediaKindFromRaw(query.text(5)).value_or(MediaKind::Video);
        entry.status = statusFromRaw(query.text(6)).value_or(VideoItem::Status::Pending);
        entry.proposedName = query.text(7);
        entry.editedContent = query.optionalText(8);
        entry.editedPlace = query.optionalText(9);
        entry.editedName = query.optionalText(10);
        entry.errorText = query.text(11);
        entry.companions = splitPaths(query.blob(12));
        entry.isSelected = query.integer(13) != 0;
        entry.details = query.blob(14);
    }
    return entries;
}

std::vector<BatchRecord> Reader::batches()
{
    Sqlite::Statement query = m_db.prepare(
        "SELECT undo_log, renamed_at, file_count, undone_at FROM batches ORDER BY renamed_at DESC, id DESC");
    std::vector<BatchRecord> batches;
    while (query.step() == SQLITE_ROW) {
        BatchRecord& batch = batches.emplace_back();
        batch.undoLog = pathFrom(query.blob(0));
        batch.renamedAt = timeFrom(query.integer(1));
        batch.fileCount = int(query.integer(2));
        if (!query.isNull(3))
            batch.undoneAt = timeFrom(query.integer(3));
    }
    return batches;
}

Usage Reader::usage()
{
    Usage usage;
    usage.analyses = m_db.queryInt("SELECT count(*) FROM analyses").value_or(0);
    // Pages freed by forgetting are kept by the file for reuse: they hold nothing.
    usage.bytes = (m_db.queryInt("PRAGMA page_count").value_or(0)
                      - m_db.queryInt("PRAGMA freelist_count").value_or(0))
        * m_db.queryInt("PRAGMA page_size").value_or(0);
    return usage;
}

} // namespace Catalogue

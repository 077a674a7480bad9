// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalogue/Writer.h"

#include "catalogue/Columns.h"
#include "catalogue/Database.h"
#include "catalogue/Messages.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <unordered_map>

using namespace Catalogue::Columns;

namespace Catalogue {

namespace {

// Prepared once per connection and reused: preparing costs about as much as a small insert.
class Statements
{
public:
    explicit Statements(Sqlite::Connection& db)
        : m_db(db)
    { }

    Sqlite::Statement& operator()(const char* sql)
    {
        Sqlite::Statement& statement = m_cache[sql];
        if (!statement.isValid())
            statement = m_db.prepare(sql);
        return statement;
    }

private:
    Sqlite::Connection& m_db;
    std::unordered_map<const char*, Sqlite::Statement> m_cache;
};

using Operation = std::function<bool(Statements&)>;

std::optional<qint64> saveFileRow(Statements& sql, const FileRecord& file)
{
    const bool hasStamp = file.stamp.inode != 0;
    if (hasStamp) {
        Sqlite::Statement& release
            = sql("UPDATE files SET device = NULL, inode = NULL, mtime_ns = NULL "
                  "WHERE device = ?1 AND inode = ?2 AND NOT (size = ?3 AND hash = ?4)");
        release.bind(1, qint64(file.stamp.device)).bind(2, qint64(file.stamp.inode));
        release.bind(3, file.identity.size).bindBlob(4, file.identity.hash);
        if (!release.run())
            return std::nullopt;
    }
    Sqlite::Statement& upsert
        = sql("INSERT INTO files (size, hash, device, inode, mtime_ns, path, kind, capture_date, "
              "capture_source, place, "
              "latitude, longitude, seen_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13) "
              "ON CONFLICT (size, hash) DO UPDATE SET device = excluded.device, inode = excluded.inode, "
              "mtime_ns = excluded.mtime_ns, path = excluded.path, kind = excluded.kind, "
              "capture_date = excluded.capture_date, capture_source = excluded.capture_source, place = "
              "excluded.place, "
              "latitude = excluded.latitude, longitude = excluded.longitude, seen_at = excluded.seen_at "
              "RETURNING id");
    upsert.bind(1, file.identity.size).bindBlob(2, file.identity.hash);
    if (hasStamp)
        upsert.bind(3, qint64(file.stamp.device))
            .bind(4, qint64(file.stamp.inode))
            .bind(5, file.stamp.mtimeNs);
    upsert.bindBlob(6, pathBytes(file.path)).bind(7, rawValue(file.kind)).bind(8, millis(file.captureDate));
    upsert.bind(9, file.captureSource).bind(10, file.place);
    if (file.coordinate)
        upsert.bind(11, file.coordinate->latitude).bind(12, file.coordinate->longitude);
    upsert.bind(13, QDateTime::currentMSecsSinceEpoch());
    std::optional<qint64> id;
    if (upsert.step() == SQLITE_ROW)
        id = upsert.integer(0);
    upsert.reset();
    return id;
}

std::optional<qint64> fileId(Statements& sql, const FileIdentity& identity)
{
    Sqlite::Statement& query = sql("SELECT id FROM files WHERE size = ?1 AND hash = ?2");
    query.bind(1, identity.size).bindBlob(2, identity.hash);
    std::optional<qint64> id;
    if (query.step() == SQLITE_ROW)
        id = query.integer(0);
    query.reset();
    return id;
}

bool saveAnalysisRow(Statements& sql, qint64 file, const AnalysisRecord& analysis)
{
    Sqlite::Statement& upsert = sql(
        "INSERT INTO analyses (file_id, engine, model, frame_count, prompt_version, raw_reply, content, "
        "place_guess, duration_ms, analyzed_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10) "
        "ON CONFLICT (file_id, engine, model, frame_count, prompt_version) DO UPDATE SET "
        "raw_reply = excluded.raw_reply, content = excluded.content, place_guess = excluded.place_guess, "
        "duration_ms = excluded.duration_ms, analyzed_at = excluded.analyzed_at");
    upsert.bind(1, file).bind(2, analysis.key.engine).bind(3, analysis.key.model);
    upsert.bind(4, analysis.key.frameCount).bind(5, analysis.key.promptVersion).bind(6, analysis.rawReply);
    upsert.bind(7, analysis.content).bind(8, analysis.placeGuess).bind(9, analysis.durationMs);
    upsert.bind(10, millis(analysis.analyzedAt).value_or(QDateTime::currentMSecsSinceEpoch()));
    return upsert.run();
}

bool saveThumbnailRow(Statements& sql, qint64 file, const QByteArray& jpeg)
{
    if (jpeg.isEmpty())
        return true;
    Sqlite::Statement& upsert = sql("INSERT INTO thumbnails (file_id, jpeg) VALUES (?1, ?2) "
                                    "ON CONFLICT (file_id) DO UPDATE SET jpeg = excluded.jpeg");
    return upsert.bind(1, file).bindBlob(2, jpeg).run();
}

// The entry's edits become its file's, so they outlive the entry. A file edited before it was analysed
// has no record yet: it gets one without a stamp (found again by hashing). An entry without edits
// leaves the file's alone: another entry of the same content may hold them.
bool saveEditsRow(Statements& sql, const SessionEntry& entry)
{
    if (!entry.identity || !(entry.editedContent || entry.editedPlace || entry.editedName))
        return true;
    Sqlite::Statement& file
        = sql("INSERT INTO files (size, hash, path, kind, seen_at) VALUES (?1, ?2, ?3, ?4, ?5) "
              "ON CONFLICT (size, hash) DO NOTHING");
    file.bind(1, entry.identity->size).bindBlob(2, entry.identity->hash).bindBlob(3, pathBytes(entry.path));
    if (!file.bind(4, rawValue(entry.kind)).bind(5, QDateTime::currentMSecsSinceEpoch()).run())
        return false;
    Sqlite::Statement& upsert
        = sql("INSERT INTO edits (file_id, content, place, name, edited_at) VALUES ("
              "(SELECT id FROM files WHERE size = ?1 AND hash = ?2), ?3, ?4, ?5, ?6) "
              "ON CONFLICT (file_id) DO UPDATE SET content = excluded.content, place = excluded.place, "
              "name = excluded.name, edited_at = excluded.edited_at WHERE content IS NOT excluded.content "
              "OR place IS NOT excluded.place OR name IS NOT excluded.name");
    upsert.bind(1, entry.identity->size).bindBlob(2, entry.identity->hash).bind(3, entry.editedContent);
    upsert.bind(4, entry.editedPlace).bind(5, entry.editedName).bind(6, QDateTime::currentMSecsSinceEpoch());
    return upsert.run();
}

bool saveEntryRow(Statements& sql, const SessionEntry& entry)
{
    if (!saveEditsRow(sql, entry))
        return false;
    Sqlite::Statement& upsert = sql(
        "INSERT INTO session (id, position, file_id, path, kind, status, proposed_name, edited_content, "
        "edited_place, edited_name, error_text, companions, is_selected, details) VALUES (?1, ?2, "
        "(SELECT id FROM files WHERE size = ?3 AND hash = ?4), ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, "
        "?15) "
        "ON CONFLICT (id) DO UPDATE SET position = excluded.position, file_id = excluded.file_id, "
        "path = excluded.path, kind = excluded.kind, status = excluded.status, "
        "proposed_name = excluded.proposed_name, edited_content = excluded.edited_content, "
        "edited_place = excluded.edited_place, edited_name = excluded.edited_name, "
        "error_text = excluded.error_text, companions = excluded.companions, is_selected = "
        "excluded.is_selected, details = excluded.details");
    upsert.bind(1, entry.id.toString(QUuid::WithoutBraces)).bind(2, entry.position);
    if (entry.identity)
        upsert.bind(3, entry.identity->size).bindBlob(4, entry.identity->hash);
    upsert.bindBlob(5, pathBytes(entry.path)).bind(6, rawValue(entry.kind)).bind(7, rawValue(entry.status));
    upsert.bind(8, entry.proposedName).bind(9, entry.editedContent).bind(10, entry.editedPlace);
    upsert.bind(11, entry.editedName).bind(12, entry.errorText).bindBlob(13, joinPaths(entry.companions));
    upsert.bind(14, entry.isSelected ? 1 : 0).bindBlob(15, entry.details);
    return upsert.run();
}

} // namespace

struct WriterState
{
    std::filesystem::path database;
    std::thread thread;

    std::mutex mutex;
    std::condition_variable wake; // the thread waits for work
    std::condition_variable progress; // callers wait for it to be done
    std::deque<Operation> queue;
    quint64 queued = 0;
    quint64 done = 0;
    bool isStopping = false;
    bool isFinished = false;
    Writer* owner = nullptr; // null once the Writer is destroyed
    std::atomic<quint64> committed = 0;

    void enqueue(Operation operation)
    {
        {
            std::lock_guard lock(mutex);
            if (isStopping)
                return;
            queue.push_back(std::move(operation));
            ++queued;
        }
        wake.notify_one();
    }

    // Tries an operation a few times when another process holds the lock past the busy timeout; any
    // other failure gives up at once and drops the connection, so the next operation starts afresh
    // (the file may have been replaced or repaired meanwhile).
    bool apply(Sqlite::Connection& db, std::unique_ptr<Statements>& statements, const Operation& operation)
    {
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (!db.isValid()) {
                db = connect(database, false);
                if (!db.isValid())
                    return false;
                statements = std::make_unique<Statements>(db);
            }
            int code = SQLITE_OK;
            {
                Sqlite::Transaction transaction(db);
                if (transaction.isActive() && operation(*statements) && transaction.commit())
                    return true;
                code = db.lastCode();
            }
            if (code != SQLITE_BUSY && code != SQLITE_LOCKED) {
                statements.reset();
                db = Sqlite::Connection();
                return false;
            }
        }
        return false;
    }

    // Commits reach the operating system at once, so a killed process loses nothing; they reach the
    // disk at most SyncInterval later, so a power cut loses at most that much. Syncing every commit
    // instead cost a run a quarter of its speed: the file system's journal flushed with it what the
    // run itself was writing.
    static constexpr std::chrono::milliseconds SyncInterval { 1000 };

    void syncLog()
    {
        std::filesystem::path log = database;
        log += "-wal";
        const int fd = ::open(log.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (fd >= 0) {
            ::fdatasync(fd);
            ::close(fd);
        }
    }

    void run()
    {
        using Clock = std::chrono::steady_clock;
        Sqlite::Connection db;
        std::unique_ptr<Statements> statements;
        bool isFailing = false;
        bool isUnsynced = false;
        Clock::time_point lastSync = Clock::now();
        for (;;) {
            Operation operation;
            bool isIdle = false;
            {
                std::unique_lock lock(mutex);
                const auto hasWork = [this] { return !queue.empty() || isStopping; };
                if (!isUnsynced)
                    wake.wait(lock, hasWork);
                else
                    isIdle = !wake.wait_until(lock, lastSync + SyncInterval, hasWork);
                if (!isIdle) {
                    if (queue.empty())
                        break;
                    operation = std::move(queue.front());
                    queue.pop_front();
                }
            }
            if (operation) {
                const bool isWritten = apply(db, statements, operation);
                if (isWritten)
                    ++committed;
                isUnsynced |= isWritten;
                {
                    std::lock_guard lock(mutex);
                    if (!isWritten && !isFailing && owner)
                        emit owner->failed(Messages::NotSaved);
                    isFailing = !isWritten;
                    ++done;
                }
                progress.notify_all();
            }
            if (isUnsynced && (isIdle || Clock::now() - lastSync >= SyncInterval)) {
                syncLog();
                isUnsynced = false;
                lastSync = Clock::now();
            }
        }
        if (isUnsynced)
            syncLog();
        statements.reset();
        {
            std::lock_guard lock(mutex);
            isFinished = true;
        }
        progress.notify_all();
    }
};

Writer::Writer(const std::filesystem::path& database, QObject* parent)
    : QObject(parent)
    , m_state(std::make_shared<WriterState>())
{
    m_state->database = database;
    m_state->owner = this;
    // The thread shares the state, so a thread left running by close() never touches a freed one.
    m_state->thread = std::thread([state = m_state] { state->run(); });
}

Writer::~Writer()
{
    close(std::chrono::seconds(2));
    std::lock_guard lock(m_state->mutex);
    m_state->owner = nullptr;
}

void Writer::saveFinished(FinishedItem item)
{
    m_state->enqueue([item = std::move(item)](Statements& sql) {
        const std::optional<qint64> file = saveFileRow(sql, item.file);
        return file && saveAnalysisRow(sql, *file, item.analysis)
            && saveThumbnailRow(sql, *file, item.thumbnail)
            && (item.entry.id.isNull() || saveEntryRow(sql, item.entry));
    });
}

void Writer::saveFile(FileRecord file)
{
    m_state->enqueue(
        [file = std::move(file)](Statements& sql) { return saveFileRow(sql, file).has_value(); });
}

void Writer::saveThumbnail(FileIdentity identity, QByteArray jpeg)
{
    m_state->enqueue([identity = std::move(identity), jpeg = std::move(jpeg)](Statements& sql) {
        const std::optional<qint64> file = fileId(sql, identity);
        return !file || saveThumbnailRow(sql, *file, jpeg);
    });
}

void Writer::saveEntries(std::vector<SessionEntry> entries)
{
    m_state->enqueue([entries = std::move(entries)](Statements& sql) {
        return std::all_of(entries.begin(), entries.end(),
            [&](const SessionEntry& entry) { return saveEntryRow(sql, entry); });
    });
}

void Writer::removeEntries(QList<QUuid> ids)
{
    m_state->enqueue([ids = std::move(ids)](Statements& sql) {
        Sqlite::Statement& remove = sql("DELETE FROM session WHERE id = ?1");
        return std::all_of(ids.begin(), ids.end(),
            [&](const QUuid& id) { return remove.bind(1, id.toString(QUuid::WithoutBraces)).run(); });
    });
}

void Writer::clearSession()
{
    m_state->enqueue([](Statements& sql) { return sql("DELETE FROM session").run(); });
}

void Writer::saveBatch(BatchRecord batch)
{
    m_state->enqueue([batch = std::move(batch)](Statements& sql) {
        Sqlite::Statement& upsert
            = sql("INSERT INTO batches (undo_log, renamed_at, file_count, undone_at) VALUES (?1, ?2, ?3, ?4) "
                  "ON CONFLICT (undo_log) DO UPDATE SET renamed_at = excluded.renamed_at, "
                  "file_count = excluded.file_count, undone_at = excluded.undone_at");
        upsert.bindBlob(1, pathBytes(batch.undoLog)).bind(2, millis(batch.renamedAt).value_or(0));
        return upsert.bind(3, batch.fileCount).bind(4, millis(batch.undoneAt)).run();
    });
}

void Writer::forget(std::vector<FileIdentity> identities)
{
    m_state->enqueue([identities = std::move(identities)](Statements& sql) {
        if (identities.empty())
            return sql("DELETE FROM files").run();
        Sqlite::Statement& remove = sql("DELETE FROM files WHERE size = ?1 AND hash = ?2");
        return std::all_of(identities.begin(), identities.end(), [&](const FileIdentity& identity) {
            return remove.bind(1, identity.size).bindBlob(2, identity.hash).run();
        });
    });
}

void Writer::forgetPaths(std::vector<std::filesystem::path> paths)
{
    m_state->enqueue([paths = std::move(paths)](Statements& sql) {
        Sqlite::Statement& remove
            = sql("DELETE FROM files WHERE path = ?1 OR substr(path, 1, length(?2)) = ?2");
        return std::all_of(paths.begin(), paths.end(), [&](const std::filesystem::path& path) {
            QByteArray folder = pathBytes(path);
            if (!folder.endsWith('/'))
                folder += '/';
            return remove.bindBlob(1, pathBytes(path)).bindBlob(2, folder).run();
        });
    });
}

bool Writer::flush(std::chrono::milliseconds limit)
{
    std::unique_lock lock(m_state->mutex);
    const quint64 target = m_state->queued;
    return m_state->progress.wait_for(lock, limit, [&] { return m_state->done >= target; });
}

bool Writer::close(std::chrono::milliseconds limit)
{
    std::unique_lock lock(m_state->mutex);
    if (!m_state->thread.joinable())
        return m_state->isFinished;
    m_state->isStopping = true;
    m_state->wake.notify_one();
    const bool isFinished = m_state->progress.wait_for(lock, limit, [&] { return m_state->isFinished; });
    lock.unlock();
    if (isFinished)
        m_state->thread.join();
    else
        m_state->thread.detach();
    return isFinished;
}

quint64 Writer::committedCount() const
{
    return m_state->committed.load();
}

} // namespace Catalogue

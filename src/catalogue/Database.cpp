// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalogue/Database.h"

#include "catalogue/Messages.h"
#include "catalogue/Schema.h"
#include "common/Paths.h"

#include <QDateTime>
#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
namespace fs = std::filesystem;

namespace Catalogue {

namespace {

enum class Outcome
{
    Ready,
    Unreadable,
    Newer,
    Unwritable,
};

fs::path withSuffix(const fs::path& file, const std::string& suffix)
{
    return fs::path(file.native() + suffix);
}

// Only what is ours is tightened; a file of someone else's is left as it is.
void makePrivate(const fs::path& path, mode_t mode)
{
    struct stat info
    { };
    if (::stat(path.c_str(), &info) == 0 && info.st_uid == ::geteuid() && (info.st_mode & 07777) != mode)
        ::chmod(path.c_str(), mode);
}

bool isUnwritable(int code)
{
    return code == SQLITE_READONLY || code == SQLITE_FULL || code == SQLITE_IOERR || code == SQLITE_PERM;
}

Outcome openAndUpgrade(const fs::path& file)
{
    for (const char* suffix : { "", "-wal", "-shm" })
        makePrivate(withSuffix(file, suffix), 0600);
    // Created here rather than by SQLite, so that it is private from the first instant; SQLite gives
    // its -wal and -shm files the mode of the database.
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno == EACCES && ::access(file.c_str(), F_OK) == 0 ? Outcome::Unreadable
                                                                    : Outcome::Unwritable;
    ::close(fd);

    Sqlite::Connection db = connect(file, false);
    if (!db.isValid())
        return isUnwritable(db.lastCode()) ? Outcome::Unwritable : Outcome::Unreadable;
    // Read before anything is written: a newer database must stay exactly as it is.
    const std::optional<qint64> version = db.queryInt("PRAGMA user_version");
    if (!version)
        return isUnwritable(db.lastCode()) ? Outcome::Unwritable : Outcome::Unreadable;
    if (*version > Schema::currentVersion())
        return Outcome::Newer;
    // quick_check reads every page once: it finds truncated and damaged files, which the header alone
    // does not show, before the writer would meet them in the middle of a run.
    Sqlite::Statement check = db.prepare("PRAGMA quick_check(1)");
    if (check.step() != SQLITE_ROW || check.text(0) != u"ok")
        return isUnwritable(db.lastCode()) ? Outcome::Unwritable : Outcome::Unreadable;
    check.reset();
    Sqlite::Statement journal = db.prepare("PRAGMA journal_mode = WAL");
    if (journal.step() != SQLITE_ROW || journal.text(0) != u"wal")
        return isUnwritable(db.lastCode()) ? Outcome::Unwritable : Outcome::Unreadable;
    journal.reset();
    if (!Schema::migrate(db))
        return isUnwritable(db.lastCode()) ? Outcome::Unwritable : Outcome::Unreadable;
    return Outcome::Ready;
}

// Renames without replacing anything; the stale write-ahead log goes with the file, since a fresh
// database must never replay it.
std::optional<fs::path> moveAside(const fs::path& file)
{
    const std::string stamp = QDateTime::currentDateTimeUtc().toString(u"yyyyMMdd-HHmmss"_s).toStdString();
    for (int attempt = 1; attempt < 100; ++attempt) {
        const fs::path target = withSuffix(
            file, ".corrupt-" + stamp + (attempt > 1 ? "-" + std::to_string(attempt) : std::string()));
        if (::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
            ::renameat2(AT_FDCWD, withSuffix(file, "-wal").c_str(), AT_FDCWD,
                withSuffix(target, "-wal").c_str(), RENAME_NOREPLACE);
            ::unlink(withSuffix(file, "-shm").c_str());
            return target;
        }
        if (errno != EEXIST)
            return std::nullopt;
    }
    return std::nullopt;
}

} // namespace

fs::path defaultLocation()
{
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + u"/velmora"_s;
    return fs::path(QFile::encodeName(dir).toStdString()) / "catalogue.sqlite";
}

Sqlite::Connection connect(const fs::path& file, bool isReadOnly)
{
    const int flags = (isReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOMUTEX;
    Sqlite::Connection db
        = Sqlite::Connection::open(QByteArray::fromStdString(file.native()), flags, BusyTimeoutMs);
    // NORMAL: in WAL mode a commit survives a crash of the program, and the database stays whole
    // through a power cut; the writer syncs its log within a second of a commit (Writer).
    if (db.isValid() && !isReadOnly)
        db.exec("PRAGMA synchronous = NORMAL");
    return db;
}

Opening prepare(const fs::path& file)
{
    const fs::path dir = file.parent_path();
    if (!Paths::makePrivateDir(QFile::decodeName(QByteArray::fromStdString(dir.native()))))
        return { Opening::State::Disabled, Messages::NotSaved, {} };
    makePrivate(dir, 0700);

    Outcome outcome = openAndUpgrade(file);
    if (outcome == Outcome::Ready)
        return { Opening::State::Ready, {}, {} };
    if (outcome == Outcome::Newer)
        return { Opening::State::Disabled, Messages::NewerVersion, {} };
    if (outcome == Outcome::Unwritable)
        return { Opening::State::Disabled, Messages::NotSaved, {} };

    const std::optional<fs::path> aside = moveAside(file);
    if (!aside || openAndUpgrade(file) != Outcome::Ready)
        return { Opening::State::Disabled, Messages::NotSaved, aside.value_or(fs::path()) };
    return { Opening::State::Ready,
        Messages::movedAside(QFile::decodeName(QByteArray::fromStdString(aside->filename().native()))),
        *aside };
}

} // namespace Catalogue

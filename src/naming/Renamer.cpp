// SPDX-License-Identifier: GPL-3.0-or-later
#include "naming/Renamer.h"

#include "common/Paths.h"
#include "naming/FileMoves.h"
#include "naming/NameBuilder.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

using FileMoves::PathState;

namespace {

// A folder holding this many numbered copies of one name is not a real folder.
constexpr int MaxClashNumber = 1000000;
constexpr off_t MaxLogBytes = off_t(256) << 20;

struct Planned
{
    qsizetype index = 0;
    std::filesystem::path original; // absolute
    std::string baseName;
    std::string extension;
    std::filesystem::path target;
    dev_t device = 0;
    ino_t inode = 0;
};

// A NUL cannot be part of a file name; left in, it would cut the name short in every system call.
QString cleanForRename(QString name)
{
    name.remove(QChar(u'\0'));
    return NameBuilder::cleanName(name);
}

// Only the part after the last dot, as bytes; none for hidden files such as ".profile".
std::string extensionOf(const std::filesystem::path& path)
{
    const std::string name = path.filename().native();
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size())
        return {};
    return name.substr(dot + 1);
}

std::filesystem::path candidate(const Planned& p, int number)
{
    std::string name = p.baseName;
    if (number > 1)
        name += '-' + std::to_string(number);
    if (!p.extension.empty())
        name += '.' + p.extension;
    return p.original.parent_path() / name;
}

int nextNumber(int number)
{
    return number == 1 ? 2 : number + 1;
}

bool isEligible(const VideoItem& item)
{
    return item.status == VideoItem::Status::Analyzed || item.status == VideoItem::Status::Naming;
}

// Chooses targets for the whole batch before anything moves, counting names that earlier items will
// take or give up, so that the journal can hold every intended move after a single flush. A target
// that turns out otherwise at move time is journaled again before that move.
std::vector<Planned> plan(QList<VideoItem>& items)
{
    std::vector<Planned> out;
    std::unordered_set<std::string> claimed;
    std::unordered_set<std::string> vacated;
    for (qsizetype i = 0; i < items.size(); ++i) {
        VideoItem& item = items[i];
        if (!isEligible(item) || item.proposedName.isEmpty())
            continue;
        const QString cleaned = cleanForRename(item.proposedName);
        if (cleaned.isEmpty())
            continue;
        Planned p;
        p.index = i;
        std::error_code error;
        p.original = std::filesystem::absolute(item.url, error);
        struct stat st
        { };
        if (error || !p.original.has_filename() || ::lstat(p.original.c_str(), &st) != 0) {
            item.status = VideoItem::Status::Error;
            continue;
        }
        p.device = st.st_dev;
        p.inode = st.st_ino;
        p.baseName = cleaned.toUtf8().toStdString();
        p.extension = extensionOf(p.original);
        bool usable = false;
        for (int number = 1; number < MaxClashNumber; number = nextNumber(number)) {
            const std::filesystem::path target = candidate(p, number);
            if (claimed.count(target.native()))
                continue;
            const PathState state
                = vacated.count(target.native()) ? PathState::Free : FileMoves::stateOf(target);
            if (state == PathState::Taken)
                continue;
            usable = state == PathState::Free;
            p.target = target;
            break;
        }
        if (!usable) {
            item.status = VideoItem::Status::Error;
            continue;
        }
        claimed.insert(p.target.native());
        vacated.insert(p.original.native());
        out.push_back(std::move(p));
    }
    return out;
}

// Moves one planned item, going on through the numbered names while the target is taken, also when
// it is taken between the check and the move. The journal holds each move before it is made.
std::optional<std::filesystem::path> moveOne(const Planned& p, UndoLog::Journal& journal)
{
    std::unordered_set<std::string> journaled { p.target.native() };
    for (int number = 1; number < MaxClashNumber; number = nextNumber(number)) {
        const std::filesystem::path target = candidate(p, number);
        const PathState state = FileMoves::stateOf(target);
        if (state == PathState::Unusable)
            return std::nullopt;
        if (state == PathState::Taken)
            continue;
        if (!journaled.count(target.native())) {
            if (!journal.append({ target, p.original, p.device, p.inode }))
                return std::nullopt;
            journaled.insert(target.native());
        }
        FileMoves::reach(FileMoves::Step::BeforeMove, target);
        const int error = FileMoves::moveNoReplace(p.original, target);
        if (error == 0)
            return target;
        if (error != EEXIST)
            return std::nullopt;
    }
    return std::nullopt;
}

bool sameFile(const std::filesystem::path& path, dev_t device, ino_t inode)
{
    struct stat st
    { };
    return ::lstat(path.c_str(), &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

// Works out from the journal and the disk which moves of a dead batch happened, and writes their log.
// A file found under both names was caught between link and unlink: its old name still holds it, so
// the extra name goes and the move counts as not made. Nothing when no move had happened; failed is
// set when the log could not be written (the journal then stays).
std::optional<std::filesystem::path> recoverJournal(
    const std::filesystem::path& journalPath, const UndoLog::JournalReader& reader, bool* failed = nullptr)
{
    const std::filesystem::path log = UndoLog::logOfJournal(journalPath);
    if (FileMoves::stateOf(log) == PathState::Taken) {
        ::unlink(journalPath.c_str());
        return log;
    }
    std::vector<UndoLog::Entry> moved;
    std::unordered_set<std::string> seen;
    for (const UndoLog::Intent& intent : reader.intents()) {
        if (intent.renamed == intent.original || !sameFile(intent.renamed, intent.device, intent.inode))
            continue;
        if (sameFile(intent.original, intent.device, intent.inode)) {
            ::unlink(intent.renamed.c_str());
            continue;
        }
        if (seen.insert(intent.renamed.native()).second)
            moved.push_back({ intent.renamed, intent.original });
    }
    if (moved.empty()) {
        ::unlink(journalPath.c_str());
        return std::nullopt;
    }
    if (!UndoLog::writeNewFile(log, UndoLog::serialize(moved))) {
        if (failed)
            *failed = true;
        return std::nullopt;
    }
    ::unlink(journalPath.c_str());
    return log;
}

std::optional<QByteArray> readLog(const std::filesystem::path& log)
{
    const int fd = ::open(log.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat st
    { };
    std::optional<QByteArray> out;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= MaxLogBytes) {
        QByteArray bytes;
        bytes.resize(qsizetype(st.st_size));
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + done, size_t(bytes.size() - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += n;
        }
        if (done == bytes.size())
            out = bytes;
    }
    ::close(fd);
    return out;
}

} // namespace

namespace Renamer {

std::filesystem::path undoDirectory()
{
    return QFile::encodeName(Paths::stateDir() + QStringLiteral("/undo")).toStdString();
}

std::optional<std::filesystem::path> rename(QList<VideoItem>& items)
{
    const std::vector<Planned> planned = plan(items);
    if (planned.empty())
        return std::nullopt;

    std::vector<UndoLog::Intent> intents;
    intents.reserve(planned.size());
    for (const Planned& p : planned)
        intents.push_back({ p.target, p.original, p.device, p.inode });
    const std::filesystem::path dir = undoDirectory();
    auto journal = UndoLog::preparePrivateDir(dir) ? UndoLog::Journal::begin(dir, intents) : std::nullopt;
    if (!journal) {
        // Without a record the batch could not be undone, so nothing is moved.
        for (const Planned& p : planned)
            items[p.index].status = VideoItem::Status::Error;
        return std::nullopt;
    }

    std::vector<UndoLog::Entry> moved;
    for (const Planned& p : planned) {
        VideoItem& item = items[p.index];
        const auto target = moveOne(p, *journal);
        if (!target) {
            item.status = VideoItem::Status::Error;
            continue;
        }
        moved.push_back({ *target, p.original });
        item.url = *target;
        item.status = VideoItem::Status::Renamed;
        FileMoves::reach(FileMoves::Step::AfterMove, *target);
    }
    return journal->commit(moved);
}

UndoResult undo(const std::filesystem::path& log)
{
    UndoResult result;
    std::filesystem::path logPath = log;
    if (UndoLog::isJournal(log)) {
        const auto reader = UndoLog::JournalReader::open(log);
        if (!reader) {
            const bool exists = FileMoves::stateOf(log) == PathState::Taken;
            result.outcome = exists ? UndoResult::Outcome::Busy : UndoResult::Outcome::Unreadable;
            return result;
        }
        bool failed = false;
        const auto recovered = recoverJournal(log, *reader, &failed);
        if (!recovered) {
            if (failed)
                result.outcome = UndoResult::Outcome::Unreadable;
            return result;
        }
        logPath = *recovered;
    }

    const auto bytes = readLog(logPath);
    if (!bytes) {
        result.outcome = UndoResult::Outcome::Unreadable;
        return result;
    }
    auto entries = UndoLog::parse(*bytes);
    if (!entries) {
        result.outcome = UndoResult::Outcome::Malformed;
        return result;
    }

    // An old path may be held by another file of the same batch that was renamed onto it; once that
    // one has moved back, a further pass frees the way. Each pass must restore something.
    std::vector<UndoLog::Entry> pending = std::move(*entries);
    bool progress = true;
    while (progress && !pending.empty()) {
        progress = false;
        std::vector<UndoLog::Entry> blocked;
        for (UndoLog::Entry& entry : pending) {
            if (entry.renamed == entry.original || FileMoves::stateOf(entry.renamed) != PathState::Taken) {
                ++result.skipped;
                continue;
            }
            if (FileMoves::stateOf(entry.original) != PathState::Free
                || FileMoves::moveNoReplace(entry.renamed, entry.original) != 0) {
                blocked.push_back(std::move(entry));
                continue;
            }
            ++result.restored;
            result.moves.push_back(std::move(entry));
            progress = true;
        }
        pending = std::move(blocked);
    }
    result.skipped += int(pending.size());
    ::unlink(logPath.c_str());
    return result;
}

std::vector<std::filesystem::path> recoverInterrupted()
{
    std::vector<std::filesystem::path> logs;
    const std::filesystem::path dir = undoDirectory();
    std::vector<std::filesystem::path> journals;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        if (UndoLog::isJournal(entry.path()))
            journals.push_back(entry.path());
    }
    for (const std::filesystem::path& journal : journals) {
        const auto reader = UndoLog::JournalReader::open(journal);
        if (!reader)
            continue;
        if (const auto log = recoverJournal(journal, *reader))
            logs.push_back(*log);
    }
    UndoLog::removeStaleTemporaries(dir);
    return logs;
}

std::optional<std::filesystem::path> latestLog()
{
    const auto logs = UndoLog::logsNewestFirst(undoDirectory());
    if (logs.empty())
        return std::nullopt;
    return logs.front();
}

} // namespace Renamer

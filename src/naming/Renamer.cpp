// SPDX-License-Identifier: GPL-3.0-or-later
#include "naming/Renamer.h"

#include "common/Paths.h"
#include "naming/Companions.h"
#include "naming/FileMoves.h"
#include "naming/Messages.h"
#include "naming/NameBuilder.h"

#include <QFile>
#include <QHash>

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

using namespace Qt::StringLiterals;
using FileMoves::PathState;

namespace {

// A folder holding this many numbered copies of one name is not a real folder.
constexpr int MaxClashNumber = 1000000;
// A group that keeps finding its names taken in the instant between check and move gives up.
constexpr int MaxRetries = 16;
constexpr off_t MaxLogBytes = off_t(256) << 20;

// One file of a group: an item's own file or a sidecar of one.
struct FileMove
{
    std::filesystem::path original; // absolute
    std::string suffix; // what follows the base name: ".MOV", ".CR3.xmp", or nothing
    dev_t device = 0;
    ino_t inode = 0;
    qsizetype item = -1; // list position of the item, -1 for a sidecar
    qsizetype owner = -1; // for a sidecar: the list position of its item
};

// Files renamed to one base name together: an item, the other halves of its pair, and the sidecars
// of all of them, all in one folder. Items come first.
struct Group
{
    std::filesystem::path folder;
    QString name; // the cleaned proposed name
    std::string stem; // the original-name stem of the item that names the group, as bytes
    NameBudget::Limit limit;
    qsizetype suffixLength = 0;
    std::vector<FileMove> files;
    std::vector<std::filesystem::path> targets; // as planned
    // How the targets were chosen, for the check before a batch.
    int number = 1;
    std::vector<std::size_t> clashes; // earlier groups (by position in the plan) holding a lower number
    bool isTakenOnDisk = false; // a lower number was held by a file on disk
};

// The last dot and what follows it, as bytes; nothing for hidden files such as ".profile".
std::string suffixOf(const std::filesystem::path& path)
{
    const std::string name = path.filename().native();
    return name.substr(Companions::stemOf(name).size());
}

std::string clashTag(int number)
{
    return number > 1 ? '-' + std::to_string(number) : std::string();
}

// The group's name as it fits the folder beside the clash number.
QString baseFor(const Group& group, int number)
{
    // Every proposed name keeps room for "-99"; a bigger number costs the name a little more.
    const qsizetype room = std::max(NameBudget::ClashRoom, qsizetype(clashTag(number).size()));
    return NameBuilder::fitName(group.name, group.limit.units - group.suffixLength - room, group.limit);
}

std::vector<std::filesystem::path> targetsFor(const Group& group, int number)
{
    const std::string tag = clashTag(number);
    const QString base = baseFor(group, number);
    if (base.isEmpty())
        return {};
    const std::string name = NameBuilder::nameBytes(base, group.stem) + tag;
    std::vector<std::filesystem::path> targets;
    targets.reserve(group.files.size());
    for (const FileMove& file : group.files)
        targets.push_back(group.folder / (name + file.suffix));
    return targets;
}

int nextNumber(int number)
{
    return number == 1 ? 2 : number + 1;
}

// A file Velmora renamed before whose name is the proposed one already, or a numbered form of it from a
// clash, is left alone: a second rename would only nest the name or change its number.
bool isNamedAlready(const Group& group, std::size_t itemFiles, const QList<VideoItem>& items)
{
    const FileMove& first = group.files.front();
    const std::string current = first.original.filename().native();
    const std::string& before = items.at(first.item).originalName;
    if (before.empty() || before == current)
        return false;
    // The number of "name-3.mov".
    const std::string stem = current.substr(0, current.size() - first.suffix.size());
    const std::size_t dash = stem.rfind('-');
    const std::string digits = dash == std::string::npos ? std::string() : stem.substr(dash + 1);
    const bool numbered = !digits.empty() && digits.size() < 7 && digits.front() != '0'
        && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    for (const int number : { 1, numbered ? std::stoi(digits) : 1 }) {
        const std::vector<std::filesystem::path> targets = targetsFor(group, number);
        bool same = !targets.empty();
        for (std::size_t f = 0; f < itemFiles && same; ++f)
            same = targets[f] == group.files[f].original;
        if (same)
            return true;
    }
    return false;
}

// A file that is still there keeps its item as it was, ready for another try once the cause is fixed;
// an item whose file is gone is in error.
void markFailed(VideoItem& item, const std::filesystem::path& file, const QString& reason)
{
    struct stat st
    { };
    const bool gone = ::lstat(file.c_str(), &st) != 0 && errno == ENOENT;
    item.renameFailure = gone ? Renamer::Messages::SourceGone : reason;
    if (gone)
        item.status = VideoItem::Status::Error;
}

std::optional<FileMove> regularFile(const std::filesystem::path& path, bool sidecar)
{
    struct stat st
    { };
    if (::lstat(path.c_str(), &st) != 0 || (sidecar && !S_ISREG(st.st_mode)))
        return std::nullopt;
    FileMove file;
    file.original = path;
    file.device = st.st_dev;
    file.inode = st.st_ino;
    return file;
}

// Chooses targets for the whole batch before anything moves, counting names that earlier groups will
// take or give up, so that the journal can hold every intended move after a single flush. A target
// that turns out otherwise at move time is journaled again before that move.
std::vector<Group> plan(QList<VideoItem>& items)
{
    QHash<QUuid, qsizetype> eligible;
    std::vector<qsizetype> order;
    std::vector<std::filesystem::path> originals;
    for (qsizetype i = 0; i < items.size(); ++i) {
        if (!Renamer::isEligible(items.at(i)))
            continue;
        items[i].renameFailure.clear();
        std::error_code error;
        std::filesystem::path original = std::filesystem::absolute(items.at(i).url, error);
        if (error || !original.has_filename()) {
            markFailed(
                items[i], items.at(i).url, Renamer::Messages::moveFailed(error ? error.value() : EISDIR));
            continue;
        }
        eligible.insert(items.at(i).id, i);
        order.push_back(i);
        originals.push_back(std::move(original));
    }
    // Sidecars are looked for now, on disk, not taken from the import: one read of each folder.
    const std::vector<Companions::Beside> beside = Companions::discover(originals);
    std::unordered_map<qsizetype, std::size_t> slot;
    for (std::size_t k = 0; k < order.size(); ++k)
        slot.emplace(order[k], k);

    std::vector<Group> out;
    std::unordered_set<qsizetype> planned;
    std::unordered_map<std::string, std::size_t> claimed; // by the position of the group in out
    std::unordered_set<std::string> vacated;
    std::unordered_set<std::string> sidecarsTaken;
    for (std::size_t k = 0; k < order.size(); ++k) {
        const qsizetype first = order[k];
        if (!planned.insert(first).second)
            continue;
        std::vector<qsizetype> members { first };
        for (const QUuid& id : items.at(first).partners) {
            const auto it = eligible.constFind(id);
            if (it != eligible.cend() && originals[slot.at(*it)].parent_path() == originals[k].parent_path()
                && planned.insert(*it).second)
                members.push_back(*it);
        }
        // The half that is analysed names the group.
        const auto lead = std::find_if(
            members.begin(), members.end(), [&](qsizetype i) { return !items.at(i).followsPartner; });
        Group group;
        const VideoItem& namer = items.at(lead == members.end() ? first : *lead);
        group.name = NameBuilder::cleanName(namer.proposedName);
        group.stem = NameBuilder::originalStem(namer);
        if (group.name.isEmpty())
            continue;
        group.folder = originals[k].parent_path();
        for (const qsizetype member : members) {
            auto file = regularFile(originals[slot.at(member)], false);
            if (!file) {
                const int error = errno; // of its lstat
                markFailed(items[member], originals[slot.at(member)], Renamer::Messages::moveFailed(error));
                continue;
            }
            file->suffix = suffixOf(file->original);
            file->item = member;
            group.files.push_back(std::move(*file));
        }
        const std::size_t itemFiles = group.files.size();
        std::unordered_set<std::string> groupNames;
        for (std::size_t f = 0; f < itemFiles; ++f)
            groupNames.insert(group.files[f].original.filename().native());
        for (std::size_t f = 0; f < itemFiles; ++f) {
            const qsizetype owner = group.files[f].item;
            const std::string stem = Companions::stemOf(group.files[f].original.filename().native());
            const Companions::Beside& found = beside[slot.at(owner)];
            // A sidecar named after a stem that files outside this group share stays with them.
            const bool stemShared = !std::all_of(found.stemOwners.begin(), found.stemOwners.end(),
                [&](const std::string& name) { return groupNames.count(name) > 0; });
            for (const std::filesystem::path& sidecar : found.sidecars) {
                if (sidecarsTaken.count(sidecar.native()))
                    continue;
                if (stemShared && Companions::sidecarKey(sidecar.filename().native()) == stem)
                    continue;
                auto file = regularFile(sidecar, true);
                if (!file)
                    continue; // gone since the folder was read
                file->suffix = sidecar.filename().native().substr(stem.size());
                file->owner = owner;
                sidecarsTaken.insert(sidecar.native());
                group.files.push_back(std::move(*file));
            }
        }
        if (itemFiles == 0)
            continue;
        group.limit = NameBudget::limitOf(group.folder);
        for (const FileMove& file : group.files)
            group.suffixLength = std::max(group.suffixLength, NameBudget::length(file.suffix, group.limit));

        if (isNamedAlready(group, itemFiles, items)) {
            for (std::size_t f = 0; f < itemFiles; ++f)
                items[group.files[f].item].keptName = items.at(group.files[f].item).proposedName;
            continue;
        }

        bool usable = false;
        QString failure = Renamer::Messages::moveFailed(EEXIST);
        for (int number = 1; number < MaxClashNumber && !usable; number = nextNumber(number)) {
            const std::vector<std::filesystem::path> targets = targetsFor(group, number);
            failure = Renamer::Messages::NameUnusable;
            if (targets.empty())
                break;
            bool taken = false;
            bool unusable = false;
            for (const std::filesystem::path& target : targets) {
                const auto claim = claimed.find(target.native());
                const PathState state = claim != claimed.end() ? PathState::Taken
                    : vacated.count(target.native())           ? PathState::Free
                                                               : FileMoves::stateOf(target);
                taken |= state == PathState::Taken;
                unusable |= state == PathState::Unusable;
                if (claim != claimed.end())
                    group.clashes.push_back(claim->second);
                else if (state == PathState::Taken)
                    group.isTakenOnDisk = true;
            }
            if (unusable)
                break;
            failure = Renamer::Messages::moveFailed(EEXIST);
            if (taken)
                continue;
            usable = true;
            group.targets = targets;
            group.number = number;
        }
        if (!usable) {
            for (std::size_t f = 0; f < itemFiles; ++f)
                markFailed(items[group.files[f].item], group.files[f].original, failure);
            continue;
        }
        for (std::size_t f = 0; f < group.files.size(); ++f) {
            claimed.emplace(group.targets[f].native(), out.size());
            vacated.insert(group.files[f].original.native());
        }
        out.push_back(std::move(group));
    }
    return out;
}

// Moves back what a group had moved when one of its names was taken after all. Returns the moves that
// could not be undone (the old name taken meanwhile): they stay made.
std::vector<std::pair<std::size_t, std::filesystem::path>> putBack(
    const Group& group, const std::vector<std::pair<std::size_t, std::filesystem::path>>& moved)
{
    std::vector<std::pair<std::size_t, std::filesystem::path>> stuck;
    for (auto it = moved.rbegin(); it != moved.rend(); ++it) {
        if (FileMoves::moveNoReplace(it->second, group.files[it->first].original) != 0)
            stuck.push_back(*it);
    }
    return stuck;
}

// Moves the files of one group under one base name, going on through the numbered names while any of
// its names is taken, also when it is taken between the check and the move. The journal holds each
// move before it is made. A file that is gone meanwhile is passed over (a sidecar with its item).
// Returns each file moved, by its index in the group, with its new path; failure says why the others
// did not move, unless their files were gone.
std::vector<std::pair<std::size_t, std::filesystem::path>> moveGroup(
    const Group& group, UndoLog::Journal& journal, QString& failure)
{
    failure = Renamer::Messages::NameUnusable;
    std::unordered_set<std::string> journaled;
    for (const std::filesystem::path& target : group.targets)
        journaled.insert(target.native());
    int retries = 0;
    for (int number = 1; number < MaxClashNumber; number = nextNumber(number)) {
        const std::vector<std::filesystem::path> targets = targetsFor(group, number);
        if (targets.empty())
            return {};
        bool taken = false;
        for (const std::filesystem::path& target : targets) {
            const PathState state = FileMoves::stateOf(target);
            if (state == PathState::Unusable)
                return {};
            taken |= state == PathState::Taken;
        }
        if (taken)
            continue;
        for (std::size_t f = 0; f < targets.size(); ++f) {
            if (journaled.count(targets[f].native()))
                continue;
            const FileMove& file = group.files[f];
            if (!journal.append({ targets[f], file.original, file.device, file.inode })) {
                failure = Renamer::Messages::NoUndoRecord;
                return {};
            }
            journaled.insert(targets[f].native());
        }
        std::vector<std::pair<std::size_t, std::filesystem::path>> moved;
        std::unordered_set<qsizetype> gone;
        int error = 0;
        for (std::size_t f = 0; f < targets.size() && error == 0; ++f) {
            const FileMove& file = group.files[f];
            if (file.owner >= 0 && gone.count(file.owner))
                continue;
            FileMoves::reach(FileMoves::Step::BeforeMove, targets[f]);
            const int result = FileMoves::moveNoReplace(file.original, targets[f]);
            if (result == 0) {
                moved.emplace_back(f, targets[f]);
                FileMoves::reach(FileMoves::Step::AfterMove, targets[f]);
            } else if (result == ENOENT) {
                if (file.item >= 0)
                    gone.insert(file.item);
            } else {
                error = result;
            }
        }
        if (error == 0) {
            failure.clear();
            return moved;
        }
        failure = Renamer::Messages::moveFailed(error);
        // The group keeps one name: what moved goes back, then the next number is tried.
        const auto stuck = putBack(group, moved);
        if (!stuck.empty() || error != EEXIST || ++retries > MaxRetries)
            return stuck;
    }
    failure = Renamer::Messages::moveFailed(EEXIST);
    return {};
}

// What a batch records: two names in one folder. Anything else in a log or journal was made by hand.
bool isWithinOneFolder(const UndoLog::Entry& entry)
{
    auto plain = [](const std::filesystem::path& path) {
        const std::string name = path.filename().native();
        return !name.empty() && name != "." && name != "..";
    };
    return entry.renamed != entry.original && plain(entry.renamed) && plain(entry.original)
        && entry.renamed.parent_path() == entry.original.parent_path();
}

// Undo moves regular files; a symbolic link only when the batch recorded that very link.
bool isMovable(const struct stat& st, const UndoLog::Entry& entry)
{
    return S_ISREG(st.st_mode) || (S_ISLNK(st.st_mode) && entry.isIdentified());
}

bool isRecordedFile(const std::filesystem::path& path, const UndoLog::Entry& entry)
{
    struct stat st
    { };
    return ::lstat(path.c_str(), &st) == 0 && st.st_dev == entry.device && st.st_ino == entry.inode
        && isMovable(st, entry);
}

// The moves of a dead batch that happened, from its journal and the disk. A file found under both
// names was caught between link and unlink: its old name still holds it, so the move counts as not
// made, and the extra name goes when the journal is one of ours (a journal from elsewhere could name
// two links of one file).
std::vector<UndoLog::Entry> movesMade(const UndoLog::JournalReader& reader, bool mayUnlink)
{
    std::vector<UndoLog::Entry> moved;
    std::unordered_set<std::string> seen;
    for (const UndoLog::Intent& intent : reader.intents()) {
        if (!isWithinOneFolder(intent) || !isRecordedFile(intent.renamed, intent))
            continue;
        if (isRecordedFile(intent.original, intent)) {
            if (mayUnlink)
                ::unlink(intent.renamed.c_str());
            continue;
        }
        if (seen.insert(intent.renamed.native()).second)
            moved.push_back(intent);
    }
    return moved;
}

// Writes the log of a dead batch from its journal in the private directory. Nothing when no move had
// happened; failed is set when the log could not be written (the journal then stays).
std::optional<std::filesystem::path> recoverJournal(
    const std::filesystem::path& journalPath, const UndoLog::JournalReader& reader, bool* failed = nullptr)
{
    const std::filesystem::path log = UndoLog::logOfJournal(journalPath);
    if (FileMoves::stateOf(log) == PathState::Taken) {
        ::unlink(journalPath.c_str());
        return log;
    }
    const std::vector<UndoLog::Entry> moved = movesMade(reader, true);
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

using Reason = Renamer::UndoResult::Reason;

// Moves one file back within its folder, through a handle on the folder so that the checks and the
// move see the same one. Nothing on success, else why not (error: the errno of a refused move).
std::optional<Reason> moveBack(const UndoLog::Entry& entry, int& error)
{
    if (!isWithinOneFolder(entry))
        return Reason::TwoFolders;
    const int dir = ::open(entry.renamed.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        error = errno;
        return error == ENOENT ? Reason::FolderGone : Reason::MoveFailed;
    }
    const std::string from = entry.renamed.filename().native();
    const std::string to = entry.original.filename().native();
    std::optional<Reason> reason;
    struct stat st
    { };
    if (::fstatat(dir, from.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        error = errno;
        reason = error == ENOENT ? Reason::Gone : Reason::MoveFailed;
    } else if (!isMovable(st, entry)) {
        reason = Reason::NotRegularFile;
    } else if (entry.isIdentified() && (st.st_dev != entry.device || st.st_ino != entry.inode)) {
        reason = Reason::OtherFile;
    } else if (::fstatat(dir, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        reason = Reason::OriginalTaken;
    } else if (const int result = FileMoves::moveNoReplaceAt(dir, from.c_str(), dir, to.c_str());
               result != 0) {
        error = result;
        reason = result == EEXIST ? Reason::OriginalTaken
            : result == ENOENT    ? Reason::Gone
                                  : Reason::MoveFailed;
    }
    ::close(dir);
    return reason;
}

// Whether the path's folder is the private undo directory (by identity, so any spelling of it counts).
bool isInUndoDirectory(const std::filesystem::path& path)
{
    struct stat folder
    { };
    struct stat undo
    { };
    const std::filesystem::path parent = path.has_parent_path() ? path.parent_path() : ".";
    return ::stat(parent.c_str(), &folder) == 0 && ::stat(Renamer::undoDirectory().c_str(), &undo) == 0
        && folder.st_dev == undo.st_dev && folder.st_ino == undo.st_ino;
}

// For each entry, the entry of the file it is a sidecar of, when that is in the same log; else -1.
std::vector<std::ptrdiff_t> ownersOf(const std::vector<UndoLog::Entry>& entries)
{
    std::unordered_map<std::string, std::size_t> files;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string name = entries[i].original.filename().native();
        if (Companions::sidecarKey(name))
            continue;
        const std::string folder = entries[i].original.parent_path().native() + '/';
        files.try_emplace(folder + name, i);
        files.try_emplace(folder + Companions::stemOf(name), i);
    }
    std::vector<std::ptrdiff_t> owners(entries.size(), -1);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto key = Companions::sidecarKey(entries[i].original.filename().native());
        if (!key)
            continue;
        const auto it = files.find(entries[i].original.parent_path().native() + '/' + *key);
        if (it != files.end())
            owners[i] = std::ptrdiff_t(it->second);
    }
    return owners;
}

// The log's bytes; nothing when it cannot be read, or (refused set) when it must be this user's alone
// and is not.
std::optional<QByteArray> readLog(const std::filesystem::path& log, bool mustBeOwned, bool& refused)
{
    const int fd = ::open(log.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat st
    { };
    std::optional<QByteArray> out;
    refused = mustBeOwned && !UndoLog::isOwnedPrivately(fd);
    if (!refused && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= MaxLogBytes) {
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

// Tries every entry. An old path may be held by another file of the same batch that was renamed onto
// it; once that one has moved back, a further pass frees the way. Each pass must restore something. A
// sidecar goes back only after its file, so that it never lands beside a file that stayed renamed.
// Returns the entries a later undo may still finish.
std::vector<UndoLog::Entry> replay(const std::vector<UndoLog::Entry>& all, Renamer::UndoResult& result)
{
    const std::vector<std::ptrdiff_t> owners = ownersOf(all);
    std::vector<bool> back(all.size(), false);
    std::vector<std::optional<Renamer::UndoResult::Failure>> failed(all.size());
    std::vector<std::size_t> pending(all.size());
    for (std::size_t i = 0; i < all.size(); ++i)
        pending[i] = i;
    bool progress = true;
    while (progress && !pending.empty()) {
        progress = false;
        std::vector<std::size_t> blocked;
        for (const std::size_t i : pending) {
            if (owners[i] >= 0 && !back[std::size_t(owners[i])]) {
                failed[i] = { all[i], Reason::FileNotBack, 0 };
                blocked.push_back(i);
                continue;
            }
            int error = 0;
            const auto reason = moveBack(all[i], error);
            if (!reason) {
                ++result.restored;
                result.moves.push_back(all[i]);
                back[i] = true;
                progress = true;
                failed[i].reset();
                continue;
            }
            failed[i] = { all[i], *reason, error };
            if (*reason == Reason::OriginalTaken || *reason == Reason::MoveFailed)
                blocked.push_back(i);
        }
        pending = std::move(blocked);
    }
    // What is gone stays gone, and what was refused would be refused again; a sidecar waits for its file.
    auto keeps = [&](std::size_t i) {
        switch (failed[i]->reason) {
        case Reason::FolderGone:
        case Reason::OriginalTaken:
        case Reason::MoveFailed:
            return true;
        case Reason::FileNotBack:
            return failed[std::size_t(owners[i])]
                && failed[std::size_t(owners[i])]->reason != Reason::FileNotBack;
        default:
            return false;
        }
    };
    std::vector<UndoLog::Entry> left;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (!failed[i])
            continue;
        result.failures.push_back(*failed[i]);
        if (keeps(i))
            left.push_back(all[i]);
    }
    return left;
}

} // namespace

namespace Renamer {

bool isEligible(const VideoItem& item)
{
    using Status = VideoItem::Status;
    const bool ready = item.status == Status::Analyzed || item.status == Status::Naming
        || (item.hasTypedName && (item.status == Status::Pending || item.status == Status::Error));
    return ready && !item.proposedName.isEmpty();
}

std::filesystem::path undoDirectory()
{
    return QFile::encodeName(Paths::stateDir() + QStringLiteral("/undo")).toStdString();
}

RenamePlan::Plan check(const QList<VideoItem>& items)
{
    QList<VideoItem> copy = items;
    const std::vector<Group> groups = plan(copy);
    std::vector<std::vector<RenamePlan::File>> byItem(std::size_t(items.size()));
    // The entry of each group's naming file, where the notes about its name go.
    std::vector<std::pair<qsizetype, std::size_t>> namers;
    std::unordered_map<std::string, int> folderErrors;
    for (const Group& group : groups) {
        auto access = folderErrors.find(group.folder.native());
        if (access == folderErrors.end()) {
            // A rename needs to write the folder; the renamer would learn that only at the move.
            const int error = ::access(group.folder.c_str(), W_OK | X_OK) == 0 ? 0 : errno;
            access = folderErrors.emplace(group.folder.native(), error).first;
        }
        const auto namer = std::find_if(group.files.begin(), group.files.end(),
            [&](const FileMove& file) { return file.item >= 0 && !items.at(file.item).followsPartner; });
        const FileMove& lead = namer == group.files.end() ? group.files.front() : *namer;
        for (std::size_t f = 0; f < group.files.size(); ++f) {
            const FileMove& file = group.files[f];
            RenamePlan::File entry;
            entry.from = file.original;
            entry.isSidecar = file.item < 0;
            entry.item = entry.isSidecar ? file.owner : file.item;
            if (access->second != 0)
                entry.failure = Messages::moveFailed(access->second);
            else
                entry.to = group.targets[f];
            if (entry.isSidecar) {
                entry.goesWith = items.at(file.owner).url;
            } else if (&file != &lead) {
                entry.goesWith = lead.original;
            } else {
                entry.clashTag = QString::fromStdString(clashTag(group.number));
                entry.isShortened = baseFor(group, group.number) != group.name;
                entry.isTakenOnDisk = group.isTakenOnDisk;
                namers.emplace_back(entry.item, byItem[std::size_t(entry.item)].size());
            }
            byItem[std::size_t(entry.item)].push_back(std::move(entry));
        }
    }
    // Clashes within the batch are told on both sides.
    for (std::size_t g = 0; g < groups.size(); ++g) {
        for (const std::size_t other : groups[g].clashes) {
            RenamePlan::File& mine = byItem[std::size_t(namers[g].first)][namers[g].second];
            RenamePlan::File& theirs = byItem[std::size_t(namers[other].first)][namers[other].second];
            for (auto [to, from] : { std::pair { &mine, &theirs }, std::pair { &theirs, &mine } }) {
                if (std::find(to->sameNameAs.begin(), to->sameNameAs.end(), from->from)
                    == to->sameNameAs.end())
                    to->sameNameAs.push_back(from->from);
            }
        }
    }
    RenamePlan::Plan out;
    for (qsizetype i = 0; i < items.size(); ++i) {
        if (isEligible(items.at(i)) && !copy.at(i).renameFailure.isEmpty()) {
            RenamePlan::File entry;
            entry.from = items.at(i).url;
            entry.item = i;
            entry.failure = copy.at(i).renameFailure;
            out.files.push_back(std::move(entry));
        }
        for (RenamePlan::File& entry : byItem[std::size_t(i)])
            out.files.push_back(std::move(entry));
    }
    return out;
}

std::optional<std::filesystem::path> rename(QList<VideoItem>& items)
{
    const std::vector<Group> groups = plan(items);
    if (groups.empty())
        return std::nullopt;

    std::vector<UndoLog::Intent> intents;
    for (const Group& group : groups) {
        for (std::size_t f = 0; f < group.files.size(); ++f) {
            const FileMove& file = group.files[f];
            intents.push_back({ group.targets[f], file.original, file.device, file.inode });
        }
    }
    const std::filesystem::path dir = undoDirectory();
    auto journal = UndoLog::preparePrivateDir(dir) ? UndoLog::Journal::begin(dir, intents) : std::nullopt;
    if (!journal) {
        // Without a record the batch could not be undone, so nothing is moved.
        for (const Group& group : groups) {
            for (const FileMove& file : group.files) {
                if (file.item >= 0)
                    markFailed(items[file.item], file.original, Renamer::Messages::NoUndoRecord);
            }
        }
        return std::nullopt;
    }

    std::vector<UndoLog::Entry> moved;
    for (const Group& group : groups) {
        std::vector<std::optional<std::filesystem::path>> now(group.files.size());
        QString failure;
        for (auto& [f, target] : moveGroup(group, *journal, failure)) {
            const FileMove& file = group.files[f];
            moved.push_back({ target, file.original, file.device, file.inode });
            now[f] = std::move(target);
        }
        for (std::size_t f = 0; f < group.files.size(); ++f) {
            const FileMove& file = group.files[f];
            if (file.item < 0)
                continue;
            VideoItem& item = items[file.item];
            if (now[f]) {
                item.status = VideoItem::Status::Renamed;
                item.url = *now[f];
            } else {
                markFailed(item, file.original, failure);
            }
            item.sidecars.clear();
        }
        for (std::size_t f = 0; f < group.files.size(); ++f) {
            const FileMove& file = group.files[f];
            if (file.owner < 0)
                continue;
            if (now[f])
                items[file.owner].sidecars.push_back(*now[f]);
            else if (FileMoves::stateOf(file.original) == PathState::Taken)
                items[file.owner].sidecars.push_back(file.original);
        }
    }
    // Later names are made from the name before the first rename.
    for (const Group& group : groups) {
        for (const FileMove& file : group.files) {
            if (file.item < 0 || items.at(file.item).url == file.original)
                continue;
            VideoItem& item = items[file.item];
            item.keptName.clear();
            if (item.originalName.empty())
                item.originalName = file.original.filename().native();
        }
    }
    Companions::pairUp(items);
    return journal->commit(moved);
}

UndoResult undo(const std::filesystem::path& log)
{
    UndoResult result;
    // Only a private log is consumed; one from elsewhere is read, never changed or removed.
    std::optional<std::filesystem::path> ownLog;
    if (isInUndoDirectory(log))
        ownLog = log;
    std::vector<UndoLog::Entry> all;
    if (UndoLog::isJournal(log)) {
        const auto reader = UndoLog::JournalReader::open(log);
        if (!reader) {
            const bool exists = FileMoves::stateOf(log) == PathState::Taken;
            result.outcome = exists ? UndoResult::Outcome::Busy : UndoResult::Outcome::Unreadable;
            return result;
        }
        if (!ownLog) {
            if (!reader->isOwnedPrivately())
                result.outcome = UndoResult::Outcome::Refused;
            else
                all = movesMade(*reader, false);
        } else {
            bool failed = false;
            ownLog = recoverJournal(log, *reader, &failed);
            if (!ownLog && failed)
                result.outcome = UndoResult::Outcome::Unreadable;
        }
        if (!ownLog && (result.outcome != UndoResult::Outcome::Replayed || all.empty()))
            return result;
    }
    if (ownLog || !UndoLog::isJournal(log)) {
        bool refused = false;
        const auto bytes = readLog(ownLog.value_or(log), !ownLog, refused);
        if (!bytes) {
            result.outcome = refused ? UndoResult::Outcome::Refused : UndoResult::Outcome::Unreadable;
            return result;
        }
        auto entries = UndoLog::parse(*bytes);
        if (!entries) {
            result.outcome = UndoResult::Outcome::Malformed;
            return result;
        }
        all = std::move(*entries);
    }

    const std::vector<UndoLog::Entry> left = replay(all, result);
    if (ownLog && left.empty()) {
        ::unlink(ownLog->c_str());
    } else if (ownLog) {
        // Should the shorter log not be written, the whole one stays: what went back is then gone to it.
        if (left.size() != all.size())
            UndoLog::writeNewFile(*ownLog, UndoLog::serialize(left), true);
        result.remaining = ownLog;
    } else if (!left.empty()) {
        const std::filesystem::path dir = undoDirectory();
        if (UndoLog::preparePrivateDir(dir))
            result.remaining = UndoLog::writeNewLog(dir, left);
    }
    return result;
}

QString reasonText(const UndoResult::Failure& failure)
{
    switch (failure.reason) {
    case Reason::Gone:
        return Messages::RenamedFileGone;
    case Reason::FolderGone:
        return Messages::FolderGone;
    case Reason::OriginalTaken:
        return Messages::OriginalNameTaken;
    case Reason::FileNotBack:
        return Messages::FileNotBack;
    case Reason::MoveFailed:
        return u"系统拒绝了移动（错误码 "_s + QString::number(failure.error) + u"）"_s;
    case Reason::TwoFolders:
        return Messages::TwoFolders;
    case Reason::NotRegularFile:
        return Messages::NotRegularFile;
    case Reason::OtherFile:
        return Messages::OtherFile;
    }
    return {};
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

OriginalNames OriginalNames::load()
{
    OriginalNames names;
    std::vector<std::filesystem::path> logs = UndoLog::logsNewestFirst(undoDirectory());
    for (auto log = logs.rbegin(); log != logs.rend(); ++log) {
        bool refused = false;
        const auto bytes = readLog(*log, false, refused);
        const auto entries = bytes ? UndoLog::parse(*bytes) : std::nullopt;
        if (!entries)
            continue;
        for (UndoLog::Entry entry : *entries) {
            // A file a batch renamed that an earlier batch had renamed too: the earlier name counts.
            const auto earlier = names.m_byRenamed.find(entry.original.native());
            if (earlier != names.m_byRenamed.end()
                && (!earlier->second.isIdentified() || !entry.isIdentified()
                    || (earlier->second.device == entry.device && earlier->second.inode == entry.inode)))
                entry.original = earlier->second.original;
            names.m_byRenamed.insert_or_assign(entry.renamed.native(), std::move(entry));
        }
    }
    return names;
}

std::string OriginalNames::of(const std::filesystem::path& path) const
{
    const auto it = m_byRenamed.find(path.native());
    if (it == m_byRenamed.end() || (it->second.isIdentified() && !isRecordedFile(path, it->second)))
        return {};
    return it->second.original.filename().native();
}

std::optional<std::vector<UndoLog::Entry>> entriesOf(const std::filesystem::path& log)
{
    bool refused = false;
    const auto bytes = UndoLog::isJournal(log) ? std::nullopt : readLog(log, false, refused);
    return bytes ? UndoLog::parse(*bytes) : std::nullopt;
}

std::optional<std::filesystem::path> latestLog()
{
    const auto logs = UndoLog::logsNewestFirst(undoDirectory());
    if (logs.empty())
        return std::nullopt;
    return logs.front();
}

} // namespace Renamer

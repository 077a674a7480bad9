// SPDX-License-Identifier: GPL-3.0-or-later
#include "naming/Companions.h"

#include <QStringList>

#include <algorithm>
#include <array>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <unordered_map>
#include <unordered_set>

using namespace Qt::StringLiterals;

namespace {

constexpr std::array<std::string_view, 7> SidecarExtensions { "xmp", "aae", "thm", "lrv", "srt", "pp3",
    "dop" };
constexpr std::array<std::string_view, 12> RawExtensions { "cr3", "cr2", "crw", "nef", "nrw", "arw", "raf",
    "rw2", "orf", "dng", "pef", "srw" };
constexpr std::array<std::string_view, 5> PictureExtensions { "jpg", "jpeg", "heic", "heif", "hif" };

enum class Half
{
    None,
    Picture,
    Raw,
    Motion,
};

template <std::size_t N>
bool listed(const std::array<std::string_view, N>& list, const std::string& extension)
{
    return std::find(list.begin(), list.end(), extension) != list.end();
}

// The last extension of a name, ASCII lower-cased; empty when there is none.
std::string lowerExtension(const std::string& name)
{
    const std::string stem = Companions::stemOf(name);
    if (stem.size() == name.size())
        return {};
    std::string extension = name.substr(stem.size() + 1);
    for (char& c : extension) {
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    }
    return extension;
}

Half halfOf(const std::string& name)
{
    const std::string extension = lowerExtension(name);
    if (listed(PictureExtensions, extension))
        return Half::Picture;
    if (listed(RawExtensions, extension))
        return Half::Raw;
    return extension == "mov" ? Half::Motion : Half::None;
}

struct DirCloser
{
    void operator()(DIR* dir) const
    {
        ::closedir(dir);
    }
};

struct Folder
{
    std::unordered_map<std::string, std::vector<std::string>> sidecars; // by sidecarKey
    std::unordered_map<std::string, std::vector<std::string>> owners; // files other than sidecars, by stem
    std::unordered_set<std::string> pictureStems;
};

Folder readFolder(const std::filesystem::path& path)
{
    Folder folder;
    std::unique_ptr<DIR, DirCloser> dir(::opendir(path.c_str()));
    if (!dir)
        return folder;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        if (halfOf(name) == Half::Picture)
            folder.pictureStems.insert(Companions::stemOf(name));
        const auto key = Companions::sidecarKey(name);
        if (!key) {
            folder.owners[Companions::stemOf(name)].push_back(name);
            continue;
        }
        bool regular = entry->d_type == DT_REG;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat st
            { };
            regular = ::fstatat(::dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0
                && S_ISREG(st.st_mode);
        }
        if (regular)
            folder.sidecars[*key].push_back(name);
    }
    return folder;
}

bool hasAnalysis(const VideoItem& item)
{
    return item.status == VideoItem::Status::Analyzed;
}

bool lacksAnalysis(const VideoItem& item)
{
    return item.status == VideoItem::Status::Pending || item.status == VideoItem::Status::Error;
}

void copyShared(const VideoItem& from, VideoItem& to)
{
    to.status = from.status;
    to.content = from.content;
    to.location = from.location;
    to.proposedName = from.proposedName;
    to.hasTypedName = from.hasTypedName;
    to.contentByHand = from.contentByHand;
    to.locationByHand = from.locationByHand;
    to.nameByHand = from.nameByHand;
    to.analysedWith = from.analysedWith;
    to.analysisText = from.analysisText;
    if (!from.thumbnail.isEmpty())
        to.thumbnail = from.thumbnail;
}

// A group that has just formed takes the analysis of its picture half, or else of a half that has one.
void shareFirstAnalysis(QList<VideoItem>& items, const std::vector<qsizetype>& group)
{
    qsizetype source = -1;
    if (hasAnalysis(items.at(group.front())))
        source = group.front();
    else if (lacksAnalysis(items.at(group.front()))) {
        const auto it = std::find_if(
            group.begin() + 1, group.end(), [&](qsizetype i) { return hasAnalysis(items.at(i)); });
        source = it == group.end() ? -1 : *it;
    }
    if (source < 0)
        return;
    for (const qsizetype i : group) {
        if (i != source && lacksAnalysis(items.at(i)))
            copyShared(items.at(source), items[i]);
    }
}

} // namespace

namespace Companions {

std::string stemOf(const std::string& name)
{
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size())
        return name;
    return name.substr(0, dot);
}

std::optional<std::string> sidecarKey(const std::string& name)
{
    if (!listed(SidecarExtensions, lowerExtension(name)))
        return std::nullopt;
    return stemOf(name);
}

std::vector<Beside> discover(const std::vector<std::filesystem::path>& files)
{
    std::unordered_map<std::string, Folder> folders;
    std::unordered_set<std::string> given;
    for (const std::filesystem::path& file : files)
        given.insert(file.native());
    std::vector<Beside> out(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::filesystem::path parent = files[i].parent_path();
        auto [it, inserted] = folders.try_emplace(parent.native());
        if (inserted)
            it->second = readFolder(parent);
        const Folder& folder = it->second;
        const std::string name = files[i].filename().native();
        if (sidecarKey(name))
            continue; // a sidecar has no sidecars of its own
        const std::string stem = stemOf(name);
        std::vector<std::string> names;
        if (const auto found = folder.sidecars.find(name); found != folder.sidecars.end())
            names = found->second;
        if (const auto found = folder.sidecars.find(stem); found != folder.sidecars.end() && stem != name) {
            const auto owners = folder.owners.find(stem);
            if (owners != folder.owners.end()
                && std::all_of(owners->second.begin(), owners->second.end(),
                    [&](const std::string& owner) { return given.count((parent / owner).native()) > 0; })) {
                names.insert(names.end(), found->second.begin(), found->second.end());
                out[i].stemOwners = owners->second;
            }
        }
        std::sort(names.begin(), names.end());
        names.erase(std::unique(names.begin(), names.end()), names.end());
        for (const std::string& sidecar : names)
            out[i].sidecars.push_back(parent / sidecar);
        out[i].pictureOfSameStem = folder.pictureStems.count(stem) > 0;
    }
    return out;
}

bool mayBeLiveMotion(const std::filesystem::path& file, const Beside& beside)
{
    return beside.pictureOfSameStem && halfOf(file.filename().native()) == Half::Motion;
}

bool pairUp(QList<VideoItem>& items)
{
    std::unordered_map<std::string, std::vector<qsizetype>> byStem;
    for (qsizetype i = 0; i < items.size(); ++i) {
        const std::string name = items.at(i).url.filename().native();
        if (halfOf(name) != Half::None)
            byStem[items.at(i).url.parent_path().native() + '/' + stemOf(name)].push_back(i);
    }
    // Each group starts with its picture half; at most one RAW and one short MOV follow it.
    std::vector<std::vector<qsizetype>> groups;
    for (const auto& entry : byStem) {
        const std::vector<qsizetype>& candidates = entry.second;
        if (candidates.size() < 2)
            continue;
        auto first = [&](auto&& accept) {
            const auto it = std::find_if(candidates.begin(), candidates.end(), [&](qsizetype i) {
                return accept(items.at(i), halfOf(items.at(i).url.filename().native()));
            });
            return it == candidates.end() ? qsizetype(-1) : *it;
        };
        const qsizetype picture = first([](const VideoItem&, Half half) { return half == Half::Picture; });
        const qsizetype raw = first([](const VideoItem&, Half half) { return half == Half::Raw; });
        const qsizetype motion = first([](const VideoItem& item, Half half) {
            return half == Half::Motion && item.durationSeconds && *item.durationSeconds < LiveMotionSeconds;
        });
        if (picture < 0 || (raw < 0 && motion < 0))
            continue;
        std::vector<qsizetype> group { picture };
        for (const qsizetype follower : { raw, motion }) {
            if (follower >= 0)
                group.push_back(follower);
        }
        groups.push_back(std::move(group));
    }
    std::sort(groups.begin(), groups.end());

    std::vector<const std::vector<qsizetype>*> groupOf(std::size_t(items.size()), nullptr);
    for (const auto& group : groups) {
        for (const qsizetype i : group)
            groupOf[std::size_t(i)] = &group;
    }
    bool changed = false;
    for (const auto& group : groups) {
        const QList<QUuid>& before = items.at(group.front()).partners;
        if (before.size() + 1 != qsizetype(group.size())
            || !std::all_of(
                group.begin() + 1, group.end(), [&](qsizetype i) { return before.contains(items.at(i).id); }))
            shareFirstAnalysis(items, group);
    }
    for (qsizetype i = 0; i < items.size(); ++i) {
        VideoItem& item = items[i];
        QList<QUuid> partners;
        std::vector<std::filesystem::path> companions;
        std::vector<std::filesystem::path> sidecars = item.sidecars;
        bool follows = false;
        if (const auto* group = groupOf[std::size_t(i)]) {
            follows = group->front() != i;
            for (const qsizetype member : *group) {
                const VideoItem& other = items.at(member);
                if (member != i) {
                    partners.append(other.id);
                    companions.push_back(other.url);
                }
                sidecars.insert(sidecars.end(), other.sidecars.begin(), other.sidecars.end());
            }
            std::sort(sidecars.begin(), sidecars.end());
            sidecars.erase(std::unique(sidecars.begin(), sidecars.end()), sidecars.end());
        }
        companions.insert(companions.end(), sidecars.begin(), sidecars.end());
        if (item.partners != partners || item.followsPartner != follows || item.companions != companions) {
            item.partners = std::move(partners);
            item.followsPartner = follows;
            item.companions = std::move(companions);
            changed = true;
        }
    }
    return changed;
}

QList<qsizetype> spread(QList<VideoItem>& items, qsizetype from, const QHash<QUuid, qsizetype>& positions)
{
    QList<qsizetype> touched;
    for (const QUuid& id : items.at(from).partners) {
        const auto it = positions.constFind(id);
        if (it == positions.cend() || *it == from || *it >= items.size())
            continue;
        copyShared(items.at(from), items[*it]);
        touched.append(*it);
    }
    return touched;
}

void spreadAll(QList<VideoItem>& items)
{
    QHash<QUuid, qsizetype> positions;
    for (qsizetype i = 0; i < items.size(); ++i) {
        if (!items.at(i).partners.isEmpty())
            positions.insert(items.at(i).id, i);
    }
    for (qsizetype i = 0; i < items.size(); ++i) {
        if (!items.at(i).partners.isEmpty() && !items.at(i).followsPartner)
            spread(items, i, positions);
    }
}

void followUndo(QList<VideoItem>& items, const std::vector<UndoLog::Entry>& moves)
{
    std::unordered_map<std::string, const std::filesystem::path*> back;
    for (const UndoLog::Entry& move : moves)
        back.emplace(move.renamed.native(), &move.original);
    for (VideoItem& item : items) {
        for (std::filesystem::path& sidecar : item.sidecars) {
            if (const auto it = back.find(sidecar.native()); it != back.end())
                sidecar = *it->second;
        }
    }
    pairUp(items);
}

QString describe(const VideoItem& item)
{
    if (item.companions.empty())
        return {};
    QStringList names;
    for (const std::filesystem::path& companion : item.companions)
        names.append(displayFileName(companion));
    return u"随附文件："_s + names.join(u"、"_s);
}

} // namespace Companions

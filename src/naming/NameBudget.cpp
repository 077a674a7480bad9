// SPDX-License-Identifier: GPL-3.0-or-later
#include "naming/NameBudget.h"

#include "common/Text.h"
#include "common/VideoItem.h"
#include "naming/Companions.h"

#include <QFile>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <sys/vfs.h>
#include <unistd.h>
#include <unordered_map>

namespace {

// Longer names cannot be read back through readdir(), whatever the file system claims.
constexpr long MaxNameBytes = 255;

// statfs magic numbers of the file systems whose names are 255 UTF-16 code units long.
constexpr unsigned long MsdosMagic = 0x4d44; // vfat and msdos
constexpr unsigned long ExfatMagic = 0x2011bab0;
constexpr unsigned long NtfsMagic = 0x5346544e; // ntfs and ntfs3

} // namespace

namespace NameBudget {

Limit limitOf(const std::filesystem::path& folder)
{
    struct statfs info
    { };
    if (::statfs(folder.c_str(), &info) == 0) {
        const auto type = static_cast<unsigned long>(info.f_type);
        if (type == MsdosMagic || type == ExfatMagic || type == NtfsMagic)
            return { 255, true };
    }
    // vfat and exFAT report six bytes a character here, hence the check above.
    const long max = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    if (max <= 0)
        return {};
    return { qsizetype(std::min(max, MaxNameBytes)), false };
}

Limit recentLimitOf(const std::filesystem::path& folder)
{
    using Clock = std::chrono::steady_clock;
    constexpr auto Fresh = std::chrono::seconds(5);
    constexpr std::size_t MaxFolders = 4096;
    struct Known
    {
        Limit limit;
        Clock::time_point asked;
    };
    static std::mutex mutex;
    static std::unordered_map<std::string, Known> known;

    const Clock::time_point now = Clock::now();
    {
        const std::lock_guard lock(mutex);
        if (const auto it = known.find(folder.native()); it != known.end() && now - it->second.asked < Fresh)
            return it->second.limit;
    }
    const Limit limit = limitOf(folder);
    const std::lock_guard lock(mutex);
    if (known.size() >= MaxFolders)
        known.clear();
    known.insert_or_assign(folder.native(), Known { limit, now });
    return limit;
}

qsizetype length(const QString& text, const Limit& limit)
{
    return limit.utf16 ? text.size() : text.toUtf8().size();
}

qsizetype length(const std::string& nativeBytes, const Limit& limit)
{
    return limit.utf16 ? QFile::decodeName(QByteArray::fromStdString(nativeBytes)).size()
                       : qsizetype(nativeBytes.size());
}

QString cut(const QString& text, qsizetype budget, const Limit& limit)
{
    if (length(text, limit) <= budget)
        return text;
    // The longest fitting number of graphemes: length grows with their number.
    qsizetype low = 0;
    qsizetype high = Text::graphemeCount(text);
    while (low < high) {
        const qsizetype middle = (low + high + 1) / 2;
        if (length(Text::firstGraphemes(text, middle), limit) <= budget)
            low = middle;
        else
            high = middle - 1;
    }
    return Text::trimHorizontalSpace(Text::firstGraphemes(text, low));
}

qsizetype suffixLength(const VideoItem& item, const Limit& limit)
{
    const std::string stem = Companions::stemOf(item.url.filename().native());
    qsizetype longest = length(item.url.filename().native().substr(stem.size()), limit);
    for (const std::filesystem::path& companion : item.companions) {
        const std::string name = companion.filename().native();
        const std::string suffix = name.compare(0, stem.size(), stem) == 0
            ? name.substr(stem.size())
            : name.substr(Companions::stemOf(name).size());
        longest = std::max(longest, length(suffix, limit));
    }
    return longest;
}

qsizetype baseBudget(const VideoItem& item, const Limit& limit)
{
    return limit.units - suffixLength(item, limit) - ClashRoom;
}

} // namespace NameBudget

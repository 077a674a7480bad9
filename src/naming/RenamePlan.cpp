// SPDX-License-Identifier: GPL-3.0-or-later
#include "naming/RenamePlan.h"

#include "common/VideoItem.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace RenamePlan {

namespace {

// A long list of clashing files would make one note a paragraph.
constexpr std::size_t NamesShown = 3;

QString fileNames(const std::vector<std::filesystem::path>& paths)
{
    QStringList names;
    for (std::size_t i = 0; i < std::min(paths.size(), NamesShown); ++i)
        names.append(displayFileName(paths[i]));
    QString text = names.join(u"、"_s);
    if (paths.size() > NamesShown)
        text += u" 等 "_s + QString::number(paths.size()) + u" 个文件"_s;
    return text;
}

QString numbered(const QString& tag)
{
    return tag.isEmpty() ? u"不加编号"_s : u"编号为“"_s + tag + u"”"_s;
}

} // namespace

qsizetype Plan::renameCount() const
{
    return std::count_if(
        files.cbegin(), files.cend(), [](const File& file) { return !file.isSidecar && !file.to.empty(); });
}

bool Plan::isPlain() const
{
    return std::all_of(files.cbegin(), files.cend(), [](const File& file) { return file.isPlain(); });
}

QStringList notes(const File& file)
{
    QStringList out;
    if (!file.failure.isEmpty())
        out.append(file.failure);
    if (!file.sameNameAs.empty())
        out.append(u"与 "_s + fileNames(file.sameNameAs) + u" 提议的名称相同"_s);
    if (file.isTakenOnDisk)
        out.append(u"同名文件已存在"_s);
    if (!file.sameNameAs.empty() || file.isTakenOnDisk)
        out.last() += u"，"_s + numbered(file.clashTag);
    if (file.isShortened)
        out.append(u"名称过长，已截短以适合文件系统"_s);
    if (!file.goesWith.empty())
        out.append(u"随 "_s + displayFileName(file.goesWith) + u" 一起改名"_s);
    return out;
}

QString line(const File& file)
{
    const QStringList said = notes(file);
    if (file.to.empty())
        return displayPath(file.from) + u"："_s + said.join(u"；"_s);
    QString text = displayPath(file.from) + u" → "_s + displayFileName(file.to);
    if (!said.isEmpty())
        text += u"（"_s + said.join(u"；"_s) + u"）"_s;
    return text;
}

} // namespace RenamePlan

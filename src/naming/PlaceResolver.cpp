// SPDX-License-Identifier: GPL-3.0-or-later
#include "naming/PlaceResolver.h"

#include "common/Text.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QStringDecoder>

#include <algorithm>
#include <mntent.h>

using namespace Qt::StringLiterals;

namespace {

const QSet<QString>& ignoredNames()
{
    // clang-format off
    static const QSet<QString> names {
        u"users"_s, u"volumes"_s, u"desktop"_s, u"movies"_s, u"documents"_s, u"downloads"_s, u"pictures"_s,
        u"桌面"_s, u"文稿"_s, u"影片"_s, u"下载"_s, u"图片"_s, u"公共"_s, u"资源库"_s, u"外片"_s, u"work"_s,
        u"备份"_s, u"backup"_s, u"macintosh hd"_s, u"temp"_s, u"tmp"_s, u"output"_s, u"视频"_s, u"视频素材"_s,
        u"照片"_s, u"照片素材"_s, u"图片素材"_s, u"素材"_s, u"原片"_s, u"原始素材"_s, u"成品"_s, u"成片"_s,
        u"输出"_s, u"导出"_s, u"人物"_s, u"场景"_s, u"声音"_s, u"音频"_s, u"音效"_s, u"片头"_s, u"片尾"_s,
        u"未命名文件夹"_s, u"新建文件夹"_s, u"other"_s, u"others"_s, u"material"_s, u"materials"_s, u"ai"_s,
        u"bgm"_s, u"音乐"_s, u"字幕"_s, u"配音"_s, u"文案"_s, u"脚本"_s, u"工程"_s, u"项目文件"_s, u"临时"_s,
        u"无人机"_s, u"wurenji"_s, u"drone"_s, u"航拍"_s, u"穿越机"_s, u"fpv"_s, u"飞机"_s, u"机位"_s,
        u"空镜"_s, u"空镜头"_s, u"素材库"_s, u"片源"_s, u"客户"_s, u"直播项目"_s, u"样片"_s,
    };
    // clang-format on
    return names;
}

// The Linux counterparts of the system folders above: mount points, the home root and the desktop's
// Videos and Documents folders. Without them every file under a home directory would be named after
// "home". They name whole folders only, so a camera's "100MEDIA" stays a meaningful name.
const QSet<QString>& systemFolderNames()
{
    static const QSet<QString> names { u"home"_s, u"media"_s, u"mnt"_s, u"run"_s, u"videos"_s, u"文档"_s };
    return names;
}

// Runs of spaces become one space; then white space and line breaks are trimmed at both ends.
QString collapseSpaces(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c == u' ' && out.endsWith(u' '))
            continue;
        out.append(c);
    }
    return out.trimmed();
}

// Without the trailing slash, so that paths compare by their folders.
std::filesystem::path folderPath(const std::filesystem::path& path)
{
    std::filesystem::path out = path.lexically_normal();
    if (!out.has_filename() && out.has_parent_path() && out != out.root_path())
        out = out.parent_path();
    return out;
}

// Whether folder is inner itself or one of the folders above it.
bool holds(const std::filesystem::path& folder, const std::filesystem::path& inner)
{
    const auto [f, i] = std::mismatch(folder.begin(), folder.end(), inner.begin(), inner.end());
    return f == folder.end();
}

// /media/USER/LABEL and /run/media/USER/LABEL, where desktops mount removable media.
bool isRemovableMediaMount(const std::filesystem::path& folder)
{
    const std::filesystem::path above = folder.parent_path().parent_path();
    return above == "/media" || above == "/run/media";
}

} // namespace

namespace PlaceResolver {

FolderLimits systemLimits(const std::filesystem::path& addedFolder)
{
    FolderLimits limits;
    limits.addedFolder = addedFolder;
    const QString home = QDir::homePath();
    limits.homes.emplace_back(QFile::encodeName(home).toStdString());
    const QString canonical = QDir(home).canonicalPath();
    if (!canonical.isEmpty() && canonical != home)
        limits.homes.emplace_back(QFile::encodeName(canonical).toStdString());
    // getmntent_r decodes the octal escapes of spaces in mount points, and is safe on any thread.
    if (FILE* table = ::setmntent("/proc/self/mounts", "re")) {
        mntent entry {};
        char buffer[4096];
        while (::getmntent_r(table, &entry, buffer, sizeof buffer))
            limits.mountPoints.emplace_back(entry.mnt_dir);
        ::endmntent(table);
    }
    return limits;
}

bool isMeaningful(const QString& folderName)
{
    const QSet<QString>& ignored = ignoredNames();
    const QString lower = folderName.toLower();
    if (ignored.contains(lower) || systemFolderNames().contains(lower))
        return false;
    QString remainder;
    remainder.reserve(folderName.size());
    // Walk by code point so that digits outside the basic plane count as numbers too.
    for (const char32_t c : QStringView(folderName).toUcs4()) {
        if (QChar::isNumber(c) || QChar::isSpace(c) || c == U'.' || c == U'-' || c == U'_')
            continue;
        remainder.append(QChar::fromUcs4(c));
    }
    if (Text::graphemeCount(remainder) < 2)
        return false;
    return !ignored.contains(remainder.toLower());
}

std::optional<QString> fromPath(const std::filesystem::path& file, int maxDepth, const FolderLimits& limits)
{
    if (maxDepth <= 0)
        return std::nullopt;
    std::vector<std::filesystem::path> homes, mountPoints;
    for (const auto& home : limits.homes)
        homes.push_back(folderPath(home));
    for (const auto& mountPoint : limits.mountPoints)
        mountPoints.push_back(folderPath(mountPoint));
    const std::filesystem::path added = folderPath(limits.addedFolder);

    std::optional<QString> result;
    std::filesystem::path folder = file.parent_path();
    for (int level = 0; level < maxDepth; ++level) {
        if (std::any_of(homes.cbegin(), homes.cend(), [&](const auto& home) { return holds(folder, home); }))
            break;
        // A name that is not valid UTF-8 cannot become part of a file name; it is passed over.
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString name = Text::trimSpacesAndTabs(decoder(QByteArrayView(folder.filename().native())));
        if (name.isEmpty() || name == u"/")
            break;
        if (!decoder.hasError() && isMeaningful(name))
            result = collapseSpaces(name);
        if (folder == added || isRemovableMediaMount(folder)
            || std::find(mountPoints.cbegin(), mountPoints.cend(), folder) != mountPoints.cend())
            break;
        const std::filesystem::path parent = folder.parent_path();
        if (parent == folder)
            break;
        folder = parent;
    }
    return result;
}

} // namespace PlaceResolver

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// Texts about undo logs that the renamer's callers show, exactly as the user reads them.
namespace Renamer::Messages {

using namespace Qt::StringLiterals;

inline QString unreadableLog(const QString& path)
{
    return u"无法读取撤销记录：“"_s + path + u"”，没有改动任何文件"_s;
}

inline QString malformedLog(const QString& path)
{
    return u"“"_s + path + u"”不是有效的撤销记录，已原样保留，没有改动任何文件"_s;
}

inline const QString BatchStillRunning = u"这批重命名仍在进行中，请等它结束后再撤销"_s;

inline QString filesLeft(int count)
{
    return QString::number(count) + u" 个文件未能撤销：重命名后的文件已不在，或原来的位置已被占用"_s;
}

// Why one file was not moved back, after its path: "…/茶楼.mov：原来的名称已被其他文件占用".
inline const QString RenamedFileGone = u"重命名后的文件已不在"_s;
inline const QString FolderGone = u"所在的文件夹已不在（磁盘是否已移除？）"_s;
inline const QString OriginalNameTaken = u"原来的名称已被其他文件占用"_s;
inline const QString FileNotBack = u"它所属的文件没有改回原名"_s;
inline const QString TwoFolders = u"记录中的新旧名称不在同一个文件夹，已拒绝"_s;
inline const QString NotRegularFile = u"不是普通文件，已拒绝"_s;
inline const QString OtherFile = u"已不是当初重命名的那个文件，已拒绝"_s;

inline QString untrustedLog(const QString& path)
{
    return u"拒绝使用撤销记录“"_s + path + u"”：它不属于当前用户，或其他用户可以修改它；没有改动任何文件"_s;
}

inline QString restLogged(const QString& path)
{
    return u"未能撤销的部分已记入 "_s + path + u"，解决后可再次撤销"_s;
}

} // namespace Renamer::Messages

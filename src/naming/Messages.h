// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <cerrno>

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

// Why a file of a batch was not renamed.
inline const QString SourceGone = u"原文件已不存在"_s;
inline const QString NameUnusable = u"新文件名在这个文件夹中无法使用（太长，或文件夹无法访问）"_s;
inline const QString NoUndoRecord = u"无法写入撤销记录，为保证可以撤销，没有改动文件"_s;

// A failed move's errno in words.
inline QString moveFailed(int error)
{
    switch (error) {
    case ENOENT:
        return SourceGone;
    case EACCES:
    case EPERM:
        return u"没有写入权限"_s;
    case EEXIST:
    case ENOTEMPTY:
        return u"目标名称已被占用"_s;
    case EROFS:
        return u"文件所在的磁盘是只读的"_s;
    case ENOSPC:
    case EDQUOT:
        return u"磁盘空间不足"_s;
    case ENAMETOOLONG:
        return u"新文件名太长"_s;
    case EBUSY:
    case ETXTBSY:
        return u"文件正被其他程序使用"_s;
    case EIO:
        return u"读写磁盘时出错"_s;
    case ENOTDIR:
    case ELOOP:
        return u"文件所在的路径已改变"_s;
    case EMLINK:
        return u"文件夹中的项目过多"_s;
    case EXDEV:
        return u"不能跨磁盘移动文件"_s;
    case ENOTCONN:
    case ESTALE:
    case EHOSTDOWN:
        return u"网络磁盘已断开"_s;
    default:
        return u"系统错误（错误码 "_s + QString::number(error) + u"）"_s;
    }
}

} // namespace Renamer::Messages

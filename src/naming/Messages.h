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

} // namespace Renamer::Messages

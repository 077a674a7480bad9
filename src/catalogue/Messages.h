// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// Texts about the stored analyses that the catalogue's callers show in the status line, exactly as the
// user reads them.
namespace Catalogue::Messages {

using namespace Qt::StringLiterals;

inline QString movedAside(const QString& fileName)
{
    return u"保存的分析结果无法读取，已原样移到“"_s + fileName + u"”，本次从空白记录开始"_s;
}

inline const QString NewerVersion
    = u"保存的分析结果来自更新版本的 Velmora，本版本不会读取或改动它；本次的结果不会被保存"_s;

inline const QString NotSaved
    = u"无法写入保存分析结果的文件（磁盘只读或已满），本次的结果只保留在内存中，不会被保存"_s;

} // namespace Catalogue::Messages

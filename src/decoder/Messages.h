// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// What the decoder pool tells the user, exactly as the user reads it.
namespace DecoderMessages {

using namespace Qt::StringLiterals;

inline const QString WorkerMissing
    = u"找不到解码程序 velmora-decoder，改在本进程内解码：一个损坏的文件可能使程序退出"_s;

} // namespace DecoderMessages

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// What the decoder pool tells the user, exactly as the user reads it.
namespace DecoderMessages {

using namespace Qt::StringLiterals;

inline const QString WorkerMissing
    = u"找不到解码程序 velmora-decoder：无法读取素材的画面和拍摄日期，请重新安装 Velmora"_s;

} // namespace DecoderMessages

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// What the decoder pool tells the user, exactly as the user reads it.
namespace DecoderMessages {

using namespace Qt::StringLiterals;

inline const QString WorkerMissing
    = u"找不到解码程序 velmora-decoder：无法读取素材的画面和拍摄日期，请重新安装 Velmora"_s;

inline const QString WorkerMismatch
    = u"解码程序 velmora-decoder 与 Velmora 的版本不一致：无法读取素材的画面和拍摄日期，请重新安装 Velmora"_s;

inline const QString SandboxMissing
    = u"解码程序 velmora-decoder 无法进入沙盒，为安全起见不再用它读取素材的画面和拍摄日期"_s;

} // namespace DecoderMessages

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// The texts of the update alert, exactly as the user reads them.
namespace Update::Messages {

using namespace Qt::StringLiterals;

inline const QString AlertTitle = u"有新版本可用"_s;
inline const QString DownloadButton = u"去下载"_s;
inline const QString SkipButton = u"跳过此版本"_s;
inline const QString LaterButton = u"稍后再说"_s;

inline QString alertText(const QString& latest, const QString& current)
{
    return u"网站上已发布 Velmora "_s + latest + u"，你当前使用的是 "_s + current + u"。"_s + u'\n'
        + u"更新后可用上新功能与修复。"_s;
}

} // namespace Update::Messages

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// Failure texts of the HTTP helpers that Qt has no fitting description for, exactly as the user reads them.
namespace Net::Messages {

using namespace Qt::StringLiterals;

inline const QString Aborted = u"请求已取消"_s;

inline QString timedOut(int seconds)
{
    return u"请求超时：服务器 "_s + QString::number(seconds) + u" 秒内没有发来任何数据"_s;
}

inline QString tooLarge(qint64 maxBytes)
{
    const QString limit = maxBytes >= 1024 * 1024
        ? QString::number(maxBytes / (1024 * 1024)) + u" MB"_s
        : QString::number(qMax<qint64>(1, maxBytes / 1024)) + u" KB"_s;
    return u"服务器返回的数据过大（超过 "_s + limit + u"），已停止接收"_s;
}

} // namespace Net::Messages

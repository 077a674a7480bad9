// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/Messages.h"

#include <QHostAddress>

#include <cmath>

namespace Messages {

namespace {

// Whole seconds, halves away from zero.
qint64 roundSeconds(double seconds)
{
    return static_cast<qint64>(std::llround(seconds));
}

QString number(qint64 n)
{
    return QString::number(n);
}

} // namespace

QString etaText(double seconds)
{
    const qint64 n = std::isfinite(seconds) ? roundSeconds(seconds) : 0;
    if (n <= 59)
        return number(std::max<qint64>(n, 1)) + u" 秒"_s;
    if (n <= 3599) {
        const qint64 minutes = n / 60;
        const qint64 rest = n % 60;
        if (rest != 0)
            return number(minutes) + u" 分 "_s + number(rest) + u" 秒"_s;
        return number(minutes) + u" 分钟"_s;
    }
    const qint64 hours = n / 3600;
    const qint64 rest = n % 3600;
    if (rest > 59)
        return number(hours) + u" 小时 "_s + number(rest / 60) + u" 分"_s;
    return number(hours) + u" 小时"_s;
}

QString progress(qsizetype position, qsizetype total, const QString& fileName, std::optional<double> average)
{
    QString text = u"分析中 "_s + number(position + 1) + u'/' + number(total) + u"："_s + fileName;
    if (average) {
        text += u"\u3000·\u3000平均 "_s + number(roundSeconds(*average)) + u" 秒/个，预计还需 "_s
            + etaText(*average * double(total - position));
    }
    return text;
}

namespace {

QString summary(
    const QString& head, qsizetype successes, qsizetype total, double elapsedSeconds, bool listChanged)
{
    QString text
        = head + number(successes) + u'/' + number(total) + u" 个，用时 "_s + etaText(elapsedSeconds);
    if (successes >= 1)
        text += u"，平均 "_s + number(roundSeconds(elapsedSeconds / double(successes))) + u" 秒/个"_s;
    if (listChanged)
        text += u"（列表中途有增删，已自动跳过）"_s;
    return text;
}

} // namespace

QString analysisFinished(qsizetype successes, qsizetype total, double elapsedSeconds, bool listChanged)
{
    return summary(u"分析完成：成功 "_s, successes, total, elapsedSeconds, listChanged);
}

QString analysisStopped(qsizetype successes, qsizetype total, double elapsedSeconds, bool listChanged)
{
    return summary(u"分析已停止：成功 "_s, successes, total, elapsedSeconds, listChanged);
}

std::optional<QString> plainTextKeyWarning(const QUrl& url, const QString& key)
{
    const QString host = url.host();
    QHostAddress address;
    if (key.isEmpty() || url.scheme() != u"http" || host.compare(u"localhost"_s, Qt::CaseInsensitive) == 0
        || host.endsWith(u".localhost"_s, Qt::CaseInsensitive)
        || (address.setAddress(host) && address.isLoopback()))
        return std::nullopt;
    return u"API 密钥将以明文发送到 "_s + host
        + u"（http:// 不加密，同一网络中的他人可以截获），请改用 https://"_s;
}

} // namespace Messages

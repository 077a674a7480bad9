// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QNetworkReply>
#include <QString>
#include <QUrl>

// Failure texts of the HTTP helpers that Qt has no fitting description for, exactly as the user reads them.
namespace Net::Messages {

using namespace Qt::StringLiterals;

inline const QString Aborted = u"请求已取消"_s;

inline QString timedOut(int seconds)
{
    return u"请求超时：服务器 "_s + QString::number(seconds) + u" 秒内没有发来任何数据"_s;
}

inline QString pastDeadline(int seconds)
{
    return u"请求超时：服务器 "_s + QString::number(seconds) + u" 秒内没有完成回复"_s;
}

// scheme://host:port of url, without path, query or user name: the address a failure text names.
inline QString origin(const QUrl& url)
{
    return url.adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo)
        .toDisplayString();
}

inline QString redirectedElsewhere(const QUrl& from, const QUrl& to)
{
    return origin(from) + u" 要求转到另一个地址 "_s + origin(to)
        + u"，为保护 API 密钥和画面，没有跟过去（若确实要用那个地址，请直接在设置里填写它）"_s;
}

// A transport failure as the user reads it: what went wrong with which address, and what to check.
// qtText is Qt's own description, kept only where no fitting text exists here.
inline QString transportError(
    QNetworkReply::NetworkError error, const QUrl& url, const QString& serviceName, const QString& qtText)
{
    using E = QNetworkReply::NetworkError;
    const QString address = origin(url);
    const QString service = serviceName.isEmpty() ? u"服务"_s : serviceName;
    const QString unreachable = u"无法连接到 "_s + address + u"："_s;
    const QString proxy = u"无法通过代理连接到 "_s + address + u"："_s;
    const QString checkProxy = u"（请检查代理服务器，以及 http_proxy、https_proxy、no_proxy 环境变量）"_s;
    switch (error) {
    case E::ConnectionRefusedError:
        return unreachable + u"服务器拒绝连接（请确认 "_s + service + u" 正在运行、地址和端口正确）"_s;
    case E::HostNotFoundError:
        return unreachable + u"找不到主机 "_s + url.host() + u"（请检查地址拼写，以及网络和 DNS 设置）"_s;
    case E::RemoteHostClosedError:
        return address + u" 在回复完成前断开了连接（"_s + service + u" 可能已停止或重启，请稍后重试）"_s;
    case E::SslHandshakeFailedError:
        return u"无法与 "_s + address
            + u" 建立安全连接：TLS/SSL 握手失败（请确认地址该用 https:// 还是 http://，并检查系统时间和服务器证书）"_s;
    case E::ProxyConnectionRefusedError:
        return proxy + u"代理服务器拒绝连接"_s + checkProxy;
    case E::ProxyConnectionClosedError:
        return proxy + u"代理服务器断开了连接"_s + checkProxy;
    case E::ProxyNotFoundError:
        return proxy + u"找不到代理服务器"_s + checkProxy;
    case E::ProxyTimeoutError:
        return proxy + u"代理服务器没有响应"_s + checkProxy;
    case E::ProxyAuthenticationRequiredError:
        return proxy + u"代理服务器要求登录"_s + checkProxy;
    case E::TooManyRedirectsError:
        return address + u" 的重定向次数过多（请检查地址是否正确）"_s;
    case E::InsecureRedirectError:
        return address + u" 要求从加密的 https 转到不加密的 http，已拒绝"_s;
    case E::UnknownContentError:
        return address + u" 发来的数据无法解压，回复不完整（请稍后重试）"_s;
    default:
        break;
    }
    // Qt has no code of its own for these; the system's text says which.
    if (qtText.contains(u"unreachable"_s, Qt::CaseInsensitive))
        return unreachable + u"网络不可达（请检查网络连接，以及这台电脑能否访问该地址）"_s;
    return u"与 "_s + address + u" 通信失败："_s + qtText + u"（请检查网络连接和地址）"_s;
}

inline QString tooLarge(qint64 maxBytes)
{
    const QString limit = maxBytes >= 1024 * 1024
        ? QString::number(maxBytes / (1024 * 1024)) + u" MB"_s
        : QString::number(qMax<qint64>(1, maxBytes / 1024)) + u" KB"_s;
    return u"服务器返回的数据过大（超过 "_s + limit + u"），已停止接收"_s;
}

} // namespace Net::Messages

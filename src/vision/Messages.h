// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// The texts of the model clients' failures, exactly as the user reads them.
namespace Vision::Messages {

using namespace Qt::StringLiterals;

inline QString ollamaHttp(int status, const QString& body)
{
    return u"Ollama 返回错误 "_s + QString::number(status) + u"："_s + body;
}

inline QString compatHttp(int status, const QString& body)
{
    QString hint;
    if (status == 401 || status == 403)
        hint = u"（多半是 API 密钥不对，或该密钥没有这个模型的权限）"_s;
    else if (status == 404)
        hint = u"（多半是接口地址或模型名不对）"_s;
    else if (status == 429)
        hint = u"（触发了限速或余额不足）"_s;
    return u"接口返回 "_s + QString::number(status) + u"："_s + body + hint;
}

inline const QString CompatNotJson = u"返回内容不是 JSON："_s;
inline const QString CompatNoContent = u"返回里没有 choices[0].message.content"_s;

// Replies of the wrong shape; excerpt is the start of what came instead.
inline QString ollamaModelListUnreadable(int status, const QString& excerpt)
{
    return u"Ollama 返回的模型列表无法解析（HTTP "_s + QString::number(status) + u"）"_s
        + (excerpt.isEmpty() ? QString() : u"："_s + excerpt);
}

inline QString ollamaReplyUnreadable(const QString& excerpt)
{
    return u"Ollama 的回复里没有 response 文本"_s + (excerpt.isEmpty() ? QString() : u"："_s + excerpt);
}

inline const QString ApiKeyHasControlCharacters
    = u"API 密钥里有换行等控制字符，无法发送，请在设置中重新填写"_s;

} // namespace Vision::Messages

// SPDX-License-Identifier: GPL-3.0-or-later
#include "vision/PromptBuilder.h"

#include "common/Text.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <QTextBoundaryFinder>

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype MaxPhraseCharacters = 20;

const QString Quotes = u"\"'“”‘’「」『』《》"_s;
const QString CutCharacters = u"。！？；，,、：:；\n\t"_s;

// In this order: the first entry the text begins with is the one removed.
const QStringList LeadIns {
    u"这张画面显示"_s,
    u"这张图显示"_s,
    u"这段视频显示"_s,
    u"画面中显示"_s,
    u"画面显示"_s,
    u"这是一张"_s,
    u"这是一段"_s,
    u"图中显示"_s,
    u"照片显示"_s,
    u"图中"_s,
    u"画面中"_s,
    u"显示"_s,
    u"拍摄的是"_s,
};

QString trimQuotes(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && Quotes.contains(text.at(begin)))
        ++begin;
    while (end > begin && Quotes.contains(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}

// A view, so that stripping a long run of lead-ins copies nothing.
QStringView trimHorizontalSpace(QStringView text)
{
    while (!text.isEmpty() && Text::isHorizontalSpace(text.front()))
        text = text.sliced(1);
    while (!text.isEmpty() && Text::isHorizontalSpace(text.back()))
        text.chop(1);
    return text;
}

// Whether text begins with prefix as whole user-perceived characters: "显示" followed by a combining
// mark does not begin with "显示".
bool startsWithCharacters(QStringView text, const QString& prefix)
{
    if (!text.startsWith(prefix))
        return false;
    if (text.size() == prefix.size())
        return true;
    // Whether a boundary follows the prefix depends on the characters just after it, not on the whole
    // reply, which would otherwise be scanned again for every lead-in removed.
    constexpr qsizetype Window = 16;
    QTextBoundaryFinder finder(
        QTextBoundaryFinder::Grapheme, text.first(qMin(text.size(), prefix.size() + Window)));
    finder.setPosition(prefix.size());
    return finder.isAtBoundary();
}

// The text up to the first character that is, or holds, a cut character. A CR LF pair is one
// character, so it cuts as its line feed would.
QString cutAtPunctuation(const QString& text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype start = 0;
    for (qsizetype end = finder.toNextBoundary(); end >= 0; start = end, end = finder.toNextBoundary()) {
        for (qsizetype i = start; i < end; ++i) {
            if (CutCharacters.contains(text.at(i)))
                return text.left(start);
        }
    }
    return text;
}

} // namespace

namespace PromptBuilder {

QString build(int columns, int rows, MediaKind media)
{
    const qint64 frames = qint64(columns) * rows;
    const bool isPhoto = media == MediaKind::Photo;
    const QString role = isPhoto ? u"照片整理助手"_s : u"视频素材整理助手"_s;
    const QString subject = isPhoto ? u"这张照片"_s : u"整段视频"_s;

    QString intro;
    if (frames > 1 && rows > 1) {
        intro = u"下面是一张拼图，由同一段视频按时间顺序抽取的 "_s + QString::number(frames)
            + u" 帧画面拼成 "_s + QString::number(columns) + u" 列 × "_s + QString::number(rows)
            + u" 行 的网格（按从左到右、从上到下为时间先后顺序）。"_s;
    } else if (frames > 1) {
        intro = u"下面是一张图，由同一段视频按时间顺序抽取的 "_s + QString::number(columns)
            + u" 帧画面并排拼成（从左到右）。"_s;
    } else if (isPhoto) {
        intro = u"下面是这张照片本身（已解码为标准图）。"_s;
    } else {
        intro = u"下面是同一段视频中抽取的一帧画面。"_s;
    }

    const QStringList lines {
        u"你是一名专业的"_s + role + u"。"_s,
        intro,
        u"请综合整张图（也就是"_s + subject + u"）识别拍摄的内容与场景，用简体中文输出。"_s,
        QString(),
        u"严格要求："_s,
        u"1. content：6~16 个中文字的名词短语，像给文件起名那样精炼。不要写完整句子，不要标点，"_s,
        u"   不要「这张画面显示」「可能是一段」这类开头。"_s,
        u"   例如：古镇石桥流水与嬉戏孩童、海边日落与栈道行人"_s,
        u"2. location：能确定的拍摄地点或场景，4~10 个字，例如：上里古镇、河边公园；"_s,
        u"   无法确定就填空字符串。"_s,
        QString(),
        u"只输出一个 JSON 对象，不要任何解释、前言或代码块标记："_s,
        u"{\"content\": \"...\", \"location\": \"...\"}"_s,
    };
    return lines.join(u'\n');
}

Reply parse(const QString& reply)
{
    const QString text = reply.trimmed();
    const qsizetype open = text.indexOf(u'{');
    const qsizetype close = text.lastIndexOf(u'}');
    if (open >= 0 && close > open) {
        QJsonParseError error;
        const QJsonDocument document
            = QJsonDocument::fromJson(text.mid(open, close - open + 1).toUtf8(), &error);
        if (error.error == QJsonParseError::NoError && document.isObject()) {
            const QJsonObject object = document.object();
            const QJsonValue content = object.value(u"content"_s);
            const QJsonValue location = object.value(u"location"_s);
            return { cleanPhrase(content.isString() ? content.toString() : text),
                location.isString() ? cleanPhrase(location.toString()) : QString() };
        }
    }
    return { cleanPhrase(text), QString() };
}

QString cleanPhrase(const QString& phrase)
{
    const QString unquoted = trimQuotes(phrase.trimmed());
    QStringView text = unquoted;
    for (bool removed = true; removed;) {
        removed = false;
        for (const QString& leadIn : LeadIns) {
            if (startsWithCharacters(text, leadIn)) {
                text = trimHorizontalSpace(text.sliced(leadIn.size()));
                removed = true;
                break;
            }
        }
    }
    return Text::firstGraphemes(
        Text::trimHorizontalSpace(cutAtPunctuation(text.toString())), MaxPhraseCharacters);
}

} // namespace PromptBuilder

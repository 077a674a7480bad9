// SPDX-License-Identifier: GPL-3.0-or-later
#include "vision/PromptBuilder.h"

#include <QTest>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(MediaKind)

class TestPromptBuilder : public QObject
{
    Q_OBJECT

private slots:
    // The whole prompt, character for character, as the model has to receive it.
    void fullPromptForAGrid()
    {
        const QString expected = uR"(你是一名专业的视频素材整理助手。
下面是一张拼图，由同一段视频按时间顺序抽取的 4 帧画面拼成 2 列 × 2 行 的网格（按从左到右、从上到下为时间先后顺序）。
请综合整张图（也就是整段视频）识别拍摄的内容与场景，用简体中文输出。

严格要求：
1. content：6~16 个中文字的名词短语，像给文件起名那样精炼。不要写完整句子，不要标点，
   不要「这张画面显示」「可能是一段」这类开头。
   例如：古镇石桥流水与嬉戏孩童、海边日落与栈道行人
2. location：能确定的拍摄地点或场景，4~10 个字，例如：上里古镇、河边公园；
   无法确定就填空字符串。

只输出一个 JSON 对象，不要任何解释、前言或代码块标记：
{"content": "...", "location": "..."})"_s;
        QCOMPARE(PromptBuilder::build(2, 2, MediaKind::Video), expected);
    }

    void mediaAndGrid_data()
    {
        QTest::addColumn<int>("columns");
        QTest::addColumn<int>("rows");
        QTest::addColumn<MediaKind>("media");
        QTest::addColumn<QString>("intro");
        QTest::newRow("side by side")
            << 4 << 1 << MediaKind::Video
            << u"下面是一张图，由同一段视频按时间顺序抽取的 4 帧画面并排拼成（从左到右）。"_s;
        QTest::newRow("photo") << 1 << 1 << MediaKind::Photo << u"下面是这张照片本身（已解码为标准图）。"_s;
        QTest::newRow("one frame") << 1 << 1 << MediaKind::Video << u"下面是同一段视频中抽取的一帧画面。"_s;
        QTest::newRow("no frames") << 0 << 3 << MediaKind::Video << u"下面是同一段视频中抽取的一帧画面。"_s;
        QTest::newRow("3 x 2 counts 6 frames")
            << 3 << 2 << MediaKind::Video
            << u"下面是一张拼图，由同一段视频按时间顺序抽取的 6 帧画面拼成 3 列 × 2 行 的网格（按从左到右、从上到下为时间先后顺序）。"_s;
        // A grid always speaks of a video; only role and subject follow the media kind.
        QTest::newRow("grid of a photo")
            << 2 << 2 << MediaKind::Photo
            << u"下面是一张拼图，由同一段视频按时间顺序抽取的 4 帧画面拼成 2 列 × 2 行 的网格（按从左到右、从上到下为时间先后顺序）。"_s;
    }

    void mediaAndGrid()
    {
        QFETCH(int, columns);
        QFETCH(int, rows);
        QFETCH(MediaKind, media);
        QFETCH(QString, intro);
        const bool photo = media == MediaKind::Photo;
        const QStringList lines = PromptBuilder::build(columns, rows, media).split(u'\n');
        QCOMPARE(lines.size(), 13);
        QCOMPARE(
            lines.at(0), photo ? u"你是一名专业的照片整理助手。"_s : u"你是一名专业的视频素材整理助手。"_s);
        QCOMPARE(lines.at(1), intro);
        QCOMPARE(lines.at(2),
            photo ? u"请综合整张图（也就是这张照片）识别拍摄的内容与场景，用简体中文输出。"_s
                  : u"请综合整张图（也就是整段视频）识别拍摄的内容与场景，用简体中文输出。"_s);
    }

    void parse_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("content");
        QTest::addColumn<QString>("location");
        QTest::newRow("object in a code fence")
            << u"```json\n{\"content\": \"古镇石桥流水\", \"location\": \"上里古镇\"}\n```"_s
            << u"古镇石桥流水"_s << u"上里古镇"_s;
        QTest::newRow("plain prose") << u"这张画面显示海边日落。远处有栈道。"_s << u"海边日落"_s << QString();
        QTest::newRow("two objects") << u"{\"content\":\"a\"} 以及 {\"content\":\"b\"}"_s << u"{\"content\""_s
                                     << QString();
        QTest::newRow("no content member")
            << u"{\"location\": \"上里古镇\"}"_s << u"{\"location\""_s << u"上里古镇"_s;
        QTest::newRow("content a number")
            << u"{\"content\":7,\"location\":\"公园\"}"_s << u"{\"content\""_s << u"公园"_s;
        QTest::newRow("location a number")
            << u"{\"content\":\"河边\",\"location\":42}"_s << u"河边"_s << QString();
        QTest::newRow("members cleaned")
            << u"{\"content\":\"画面中显示海边日落，很美\",\"location\":\"“上里古镇”\"}"_s << u"海边日落"_s
            << u"上里古镇"_s;
        QTest::newRow("braces reversed") << u"}海边{"_s << u"}海边{"_s << QString();
        QTest::newRow("empty") << QString() << QString() << QString();
    }

    void parse()
    {
        QFETCH(QString, reply);
        QFETCH(QString, content);
        QFETCH(QString, location);
        const PromptBuilder::Reply parsed = PromptBuilder::parse(reply);
        QCOMPARE(parsed.content, content);
        QCOMPARE(parsed.location, location);
    }

    void cleanPhrase_data()
    {
        QTest::addColumn<QString>("phrase");
        QTest::addColumn<QString>("expected");
        QTest::newRow("quotes inside quotes") << u"\"「海边日落」\""_s << u"海边日落"_s;
        QTest::newRow("white space and line breaks") << u"\n\u3000 海边日落 \n"_s << u"海边日落"_s;
        QTest::newRow("lead-in then colon") << u"画面显示：海边日落"_s << QString();
        QTest::newRow("lead-ins repeat") << u"这是一张画面中显示海边日落"_s << u"海边日落"_s;
        // A model stuck on one phrase: each removal must not copy and rescan the rest of the reply.
        QTest::newRow("lead-in repeated 400,000 times")
            << u"显示"_s.repeated(400'000) + u"海边日落"_s << u"海边日落"_s;
        QTest::newRow("space after lead-in") << u"显示 \t海边日落"_s << u"海边日落"_s;
        QTest::newRow("combining mark keeps lead-in") << u"显示\u0301海边"_s << u"显示\u0301海边"_s;
        QTest::newRow("cut at CR LF") << u"古镇\r\n石桥"_s << u"古镇"_s;
        QTest::newRow("space before cut trimmed") << u"古镇 。石桥"_s << u"古镇"_s;
        QTest::newRow("25 ideographs") << u"一二三四五六七八九十甲乙丙丁戊己庚辛壬癸子丑寅卯辰"_s
                                       << u"一二三四五六七八九十甲乙丙丁戊己庚辛壬癸"_s;
        QTest::newRow("emoji sequence counts once")
            << u"一二三四五六七八九十甲乙丙丁戊己庚辛壬👨‍👩‍👧尾"_s
            << u"一二三四五六七八九十甲乙丙丁戊己庚辛壬👨‍👩‍👧"_s;
    }

    void cleanPhrase()
    {
        QFETCH(QString, phrase);
        QFETCH(QString, expected);
        QCOMPARE(PromptBuilder::cleanPhrase(phrase), expected);
    }
};

QTEST_GUILESS_MAIN(TestPromptBuilder)
#include "TestPromptBuilder.moc"

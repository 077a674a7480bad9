// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/AppSettings.h"
#include "common/VideoItem.h"
#include "naming/NameBuilder.h"

#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <ctime>

using namespace Qt::StringLiterals;

namespace {

// The parts switched on, as letters: d date, l location, c content, o original name.
AppSettings settingsWith(const QString& parts, const QString& separator, const QString& storePath)
{
    AppSettings settings(storePath);
    settings.includeDate = parts.contains(u'd');
    settings.includeLocation = parts.contains(u'l');
    settings.includeContent = parts.contains(u'c');
    settings.includeOriginal = parts.contains(u'o');
    settings.separator = separator;
    return settings;
}

// Switches the process time zone for the scope of one test.
class TimeZoneScope
{
public:
    explicit TimeZoneScope(const char* zone)
        : m_old(qgetenv("TZ"))
    {
        qputenv("TZ", zone);
        ::tzset();
    }
    ~TimeZoneScope()
    {
        qputenv("TZ", m_old);
        ::tzset();
    }

private:
    QByteArray m_old;
};

} // namespace

class TestNameBuilder : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_store;

    QString build(const QString& parts, const QString& separator, const VideoItem& item) const
    {
        return NameBuilder::build(item, settingsWith(parts, separator, m_store.filePath(u"s.json"_s)));
    }

private slots:
    void build_data()
    {
        QTest::addColumn<QString>("parts");
        QTest::addColumn<QString>("separator");
        QTest::addColumn<bool>("dated");
        QTest::addColumn<QString>("location");
        QTest::addColumn<QString>("content");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("expected");

        QTest::newRow("all parts") << u"dlco"_s << u"_"_s << true << u"上里古镇"_s << u"石桥流水孩童"_s
                                   << "/v/IMG_0234.MOV"_ba << u"2026-09-18_上里古镇_石桥流水孩童_IMG_0234"_s;
        QTest::newRow("all switched off")
            << u""_s << u"_"_s << true << u"上里古镇"_s << u"石桥"_s << "/v/a.mov"_ba << QString();
        QTest::newRow("no date, no leading separator") << u"dlc"_s << u"_"_s << false << u"上里古镇"_s
                                                       << u"石桥"_s << "/v/a.mov"_ba << u"上里古镇_石桥"_s;
        QTest::newRow("empty parts leave no gap")
            << u"dlco"_s << u"-"_s << true << u""_s << u"石桥"_s << "/v/a.mov"_ba << u"2026-09-18-石桥-a"_s;
        // A line feed becomes a space before the ends are trimmed; a carriage return stays.
        QTest::newRow("white space and line breaks")
            << u"c"_s << u"_"_s << false << u""_s << u"\u3000 石桥\n流水  河\r岸 \t\n"_s << "/v/a.mov"_ba
            << u"石桥 流水  河\r岸"_s;
        QTest::newRow("colon separator removed")
            << u"lc"_s << u":"_s << false << u"成都"_s << u"茶馆"_s << "/v/a.mov"_ba << u"成都茶馆"_s;
        QTest::newRow("empty separator")
            << u"lc"_s << u""_s << false << u"成都"_s << u"茶馆"_s << "/v/a.mov"_ba << u"成都茶馆"_s;
        QTest::newRow("all nine forbidden characters")
            << u"lc"_s << u" "_s << false << u"a/b\\c:d"_s << u"*e?f\"g<h>i|j"_s << "/v/a.mov"_ba
            << u"abcd efghij"_s;
        QTest::newRow("no extension")
            << u"o"_s << u"_"_s << false << u""_s << u""_s << "/v/RAW_CLIP"_ba << u"RAW_CLIP"_s;
        QTest::newRow("only the last extension goes")
            << u"o"_s << u"_"_s << false << u""_s << u""_s << "/v/a.b.mov"_ba << u"a.b"_s;
        QTest::newRow("hidden file keeps its name")
            << u"o"_s << u"_"_s << false << u""_s << u""_s << "/v/.clip"_ba << u".clip"_s;
        QTest::newRow("original name that is not UTF-8") << u"co"_s << u"_"_s << false << u""_s << u"茶馆"_s
                                                         << "/v/\xc4\xe3.mov"_ba << u"茶馆_\ufffd\ufffd"_s;
    }

    void build()
    {
        QFETCH(QString, parts);
        QFETCH(QString, separator);
        QFETCH(bool, dated);
        QFETCH(QString, location);
        QFETCH(QString, content);
        QFETCH(QByteArray, file);
        QFETCH(QString, expected);
        VideoItem item;
        item.url = file.toStdString();
        if (dated)
            item.creationDate = QDateTime(QDate(2026, 9, 18), QTime(6, 3), QTimeZone::utc());
        item.location = location;
        item.content = content;
        QCOMPARE(build(parts, separator, item), expected);
    }

    // The day is the local calendar day of the capture instant.
    void localCalendarDay_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QDateTime>("instant");
        QTest::addColumn<QString>("expected");
        QTest::newRow("east of UTC, next day")
            << "Asia/Shanghai"_ba << QDateTime(QDate(2026, 9, 17), QTime(23, 30), QTimeZone::utc())
            << u"2026-09-18"_s;
        QTest::newRow("west of UTC, previous day")
            << "America/Los_Angeles"_ba << QDateTime(QDate(2026, 9, 18), QTime(3, 0), QTimeZone::utc())
            << u"2026-09-17"_s;
    }

    void localCalendarDay()
    {
        QFETCH(QByteArray, zone);
        QFETCH(QDateTime, instant);
        QFETCH(QString, expected);
        const TimeZoneScope scope(zone.constData());
        VideoItem item;
        item.url = "/v/a.mov";
        item.creationDate = instant;
        QCOMPARE(build(u"d"_s, u"_"_s, item), expected);
    }
};

QTEST_GUILESS_MAIN(TestNameBuilder)
#include "TestNameBuilder.moc"

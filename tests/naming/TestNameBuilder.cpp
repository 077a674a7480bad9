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
        QTest::addColumn<QString>("location");
        QTest::addColumn<QString>("content");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<bool>("dated");
        const auto row = [](const char* name, const QString& parts, const QString& separator,
                             const QString& location, const QString& content, const QString& expected,
                             const QByteArray& file = "/v/a.mov", bool dated = true) {
            QTest::newRow(name) << parts << separator << location << content << expected << file << dated;
        };
        row("all parts", u"dlco"_s, u"_"_s, u"上里古镇"_s, u"石桥流水孩童"_s,
            u"2026-09-18_上里古镇_石桥流水孩童_IMG_0234"_s, "/v/IMG_0234.MOV");
        row("all switched off", QString(), u"_"_s, u"上里古镇"_s, u"石桥"_s, QString());
        row("no date, no leading separator", u"dlc"_s, u"_"_s, u"上里古镇"_s, u"石桥"_s, u"上里古镇_石桥"_s,
            "/v/a.mov", false);
        row("empty parts leave no gap", u"dlco"_s, u"-"_s, QString(), u"石桥"_s, u"2026-09-18-石桥-a"_s);
        // A line feed becomes a space before the ends are trimmed; a carriage return stays.
        row("white space and line breaks", u"c"_s, u"_"_s, QString(), u"\u3000 石桥\n流水  河\r岸 \t\n"_s,
            u"石桥 流水  河\r岸"_s);
        row("colon separator removed", u"lc"_s, u":"_s, u"成都"_s, u"茶馆"_s, u"成都茶馆"_s);
        row("empty separator", u"lc"_s, QString(), u"成都"_s, u"茶馆"_s, u"成都茶馆"_s);
        row("all nine forbidden characters", u"lc"_s, u" "_s, u"a/b\\c:d"_s, u"*e?f\"g<h>i|j"_s,
            u"abcd efghij"_s);
        row("no extension", u"o"_s, u"_"_s, QString(), QString(), u"RAW_CLIP"_s, "/v/RAW_CLIP");
        row("only the last extension goes", u"o"_s, u"_"_s, QString(), QString(), u"a.b"_s, "/v/a.b.mov");
        row("hidden file keeps its name", u"o"_s, u"_"_s, QString(), QString(), u".clip"_s, "/v/.clip");
        row("original name that is not UTF-8", u"co"_s, u"_"_s, QString(), u"茶馆"_s, u"茶馆_\ufffd\ufffd"_s,
            "/v/\xc4\xe3.mov");
    }

    void build()
    {
        QFETCH(QString, parts);
        QFETCH(QString, separator);
        QFETCH(QString, location);
        QFETCH(QString, content);
        QFETCH(QString, expected);
        QFETCH(QByteArray, file);
        QFETCH(bool, dated);
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

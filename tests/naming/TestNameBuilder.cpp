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
        // A line feed or tab becomes a space before the ends are trimmed; a carriage return goes.
        row("white space and line breaks", u"c"_s, u"_"_s, QString(), u"\u3000 石桥\n流水\t河\r\n岸 \t\n"_s,
            u"石桥 流水 河 岸"_s);
        row("controls, bidi and zero-width characters", u"lc"_s, u"_"_s, u"\u202e成\u200b都\u2066"_s,
            u"\x1b[2J茶\u0085馆\x7f\ufeff\u061c\u200f"_s, u"成都_[2J茶馆"_s);
        row("no leading dot, dash or space", u"c"_s, u"_"_s, QString(), u" -.\u202e-rf 石桥"_s, u"rf 石桥"_s,
            "/v/a.mov", false);
        row("colon separator removed", u"lc"_s, u":"_s, u"成都"_s, u"茶馆"_s, u"成都茶馆"_s);
        row("empty separator", u"lc"_s, QString(), u"成都"_s, u"茶馆"_s, u"成都茶馆"_s);
        row("all nine forbidden characters", u"lc"_s, u" "_s, u"a/b\\c:d"_s, u"*e?f\"g<h>i|j"_s,
            u"abcd efghij"_s);
        row("no extension", u"o"_s, u"_"_s, QString(), QString(), u"RAW_CLIP"_s, "/v/RAW_CLIP");
        row("only the last extension goes", u"o"_s, u"_"_s, QString(), QString(), u"a.b"_s, "/v/a.b.mov");
        row("hidden file keeps its name", u"co"_s, u"_"_s, QString(), u"茶馆"_s, u"茶馆_.clip"_s, "/v/.clip",
            false);
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

    // The bytes a file name gets: a stem that is not UTF-8 goes in as it is, whole or cut at the end.
    void nameBytes_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("stem");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("whole stem") << u"海边_\ufffd\ufffd\ufffd\ufffd_1"_s << "\xc4\xe3\xba\xc3_1"_ba
                                    << "海边_\xc4\xe3\xba\xc3_1"_ba;
        QTest::newRow("cut at the end") << u"海边_\ufffd\ufffd"_s << "\xc4\xe3\xba\xc3"_ba
                                        << "海边_\xc4\xe3"_ba;
        QTest::newRow("typed elsewhere") << u"\ufffd_海边"_s << "\xff"_ba
                                         << "\xff_海边"_ba;
        QTest::newRow("UTF-8 stem") << u"海边_é"_s << "é"_ba
                                    << "海边_é"_ba;
        QTest::newRow("not in the name") << u"海边"_s << "\xff"_ba
                                         << "海边"_ba;
    }

    void nameBytes()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, stem);
        QFETCH(QByteArray, expected);
        QCOMPARE(QByteArray::fromStdString(NameBuilder::nameBytes(name, stem.toStdString())), expected);
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

    // Names fit the file system: the original name is cut first, then the content.
    void budget_data()
    {
        QTest::addColumn<int>("limit");
        QTest::addColumn<bool>("utf16");
        QTest::addColumn<QString>("parts");
        QTest::addColumn<QString>("content");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArray>("companion"); // a file that travels with it, or empty
        QTest::addColumn<QString>("expected");

        const QString title = QString(80, u'标');
        // 255 bytes less ".mp4" and "-99" leave 248: 37 for the rest, 70 characters of the title.
        QTest::newRow("long downloaded title on ext4")
            << 255 << false << u"dlco"_s << u"石桥流水"_s << ("/v/" + title.toUtf8() + ".mp4") << ""_ba
            << u"2026-09-18_上里古镇_石桥流水_"_s + QString(70, u'标');
        QTest::newRow("fits as it is") << 255 << false << u"dlco"_s << u"石桥流水"_s << "/v/IMG_0234.MOV"_ba
                                       << ""_ba << u"2026-09-18_上里古镇_石桥流水_IMG_0234"_s;
        // 40 less ".mov" and "-99" leave 33 bytes: the original name goes, then the content is cut.
        QTest::newRow("original first, then content")
            << 40 << false << u"co"_s << u"石桥流水孩童石桥流水孩童"_s << "/v/IMG_0234.mov"_ba
            << ""_ba << u"石桥流水孩童石桥流水孩"_s;
        QTest::newRow("FAT counts UTF-16 units")
            << 40 << true << u"co"_s << u"石桥流水孩童石桥流水孩童"_s << "/v/IMG_0234.mov"_ba
            << ""_ba << u"石桥流水孩童石桥流水孩童_IMG_0234"_s;
        QTest::newRow("a companion's longer suffix counts")
            << 40 << false << u"c"_s << u"石桥流水孩童石桥流水孩童"_s << "/v/IMG_0042.JPG"_ba
            << "/v/IMG_0042.JPG.xmp"_ba << u"石桥流水孩童石桥流"_s;
        // 3 + 7 + 3: room for two accented letters, not for the base of a third.
        QTest::newRow("cut between user-perceived characters")
            << 13 << false << u"c"_s << u"e\u0301e\u0301e\u0301"_s << "/v/a.mov"_ba
            << ""_ba << u"e\u0301e\u0301"_s;
        QTest::newRow("extension that is not UTF-8 counts its bytes")
            << 12 << false << u"c"_s << u"石桥流水"_s << "/v/a.\xb3\xc9"_ba
            << ""_ba << u"石桥"_s;
        QTest::newRow("a cut space is trimmed") << 12 << false << u"c"_s << u"ab        cd"_s << "/v/a"_ba
                                                << ""_ba << u"ab"_s;
    }

    void budget()
    {
        QFETCH(int, limit);
        QFETCH(bool, utf16);
        QFETCH(QString, parts);
        QFETCH(QString, content);
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, companion);
        QFETCH(QString, expected);

        VideoItem item;
        item.url = file.toStdString();
        item.creationDate = QDateTime(QDate(2026, 9, 18), QTime(6, 3), QTimeZone::utc());
        item.location = u"上里古镇"_s;
        item.content = content;
        if (!companion.isEmpty())
            item.companions.push_back(companion.toStdString());
        const AppSettings settings = settingsWith(parts, u"_"_s, m_store.filePath(u"s.json"_s));
        const NameBudget::Limit budget { limit, utf16 };
        QCOMPARE(NameBuilder::build(item, settings, budget), expected);
        // A name typed by hand is cut at its end to the same budget.
        const QString typed = expected + QString(100, u'后');
        const QString fitted = NameBuilder::fitName(typed, NameBudget::baseBudget(item, budget), budget);
        QVERIFY(typed.startsWith(fitted));
        QVERIFY(NameBudget::length(fitted, budget) <= NameBudget::baseBudget(item, budget));
        QVERIFY(NameBudget::length(fitted + u'字', budget) > NameBudget::baseBudget(item, budget));
    }
};

QTEST_GUILESS_MAIN(TestNameBuilder)
#include "TestNameBuilder.moc"

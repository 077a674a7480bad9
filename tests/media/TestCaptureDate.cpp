// SPDX-License-Identifier: GPL-3.0-or-later
#include "media/FrameExtractor.h"
#include "support/MediaFixtures.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <ctime>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

// Times in the test zone (UTC+8, no daylight saving) as instants.
QDateTime shanghai(int y, int mo, int d, int h, int mi, int s, int ms = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::OffsetFromUTC, 8 * 3600).toUTC();
}

std::filesystem::path fsPath(const QString& path)
{
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

} // namespace

class TestCaptureDate : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString path(const QString& name) const
    {
        return m_dir.filePath(name);
    }

private slots:
    void initTestCase()
    {
        // Zone-less dates are local wall-clock times; a zone other than UTC makes that visible.
        qputenv("TZ", "Asia/Shanghai");
        ::tzset();
        QVERIFY(m_dir.isValid());
    }

    void exifTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QDateTime>("expected");
        QTest::newRow("seconds") << u"2026:09:18 14:03:12"_s << shanghai(2026, 9, 18, 14, 3, 12);
        QTest::newRow("no seconds") << u"2026:09:18 14:03"_s << shanghai(2026, 9, 18, 14, 3, 0);
        QTest::newRow("ISO form") << u"2026-09-18T14:03:12"_s << shanghai(2026, 9, 18, 14, 3, 12);
        QTest::newRow("blank camera clock") << u"0000:00:00 00:00:00"_s << QDateTime();
        QTest::newRow("month 13") << u"2026:13:01 00:00:00"_s << QDateTime();
        QTest::newRow("spaces instead of date") << u"    :  :     :  :  "_s << QDateTime();
        QTest::newRow("trailing garbage") << u"2026:09:18 14:03:12 PM"_s << QDateTime();
        QTest::newRow("empty") << QString() << QDateTime();
    }

    void exifTexts()
    {
        QFETCH(QString, text);
        QFETCH(QDateTime, expected);
        const auto parsed = FrameExtractor::parseExifDate(text);
        QCOMPARE(parsed.value_or(QDateTime()), expected);
    }

    void videoTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QDateTime>("expected");
        const QDateTime utc(QDate(2026, 9, 18), QTime(14, 3, 12, 500), Qt::UTC);
        QTest::newRow("fraction and Z") << u"2026-09-18T14:03:12.500Z"_s << utc;
        QTest::newRow("microseconds, as muxers write") << u"2026-09-18T14:03:12.500000Z"_s << utc;
        QTest::newRow("QuickTime zone") << u"2026-09-18T14:03:12+0800"_s << shanghai(2026, 9, 18, 14, 3, 12);
        QTest::newRow("zone with colon")
            << u"2026-09-18T22:03:12+08:00"_s << shanghai(2026, 9, 18, 22, 3, 12);
        QTest::newRow("west of UTC") << u"2026-09-18T06:03:12-0700"_s
                                     << QDateTime(QDate(2026, 9, 18), QTime(13, 3, 12), Qt::UTC);
        QTest::newRow("no zone is local") << u"2026-09-18T14:03:12"_s << shanghai(2026, 9, 18, 14, 3, 12);
        QTest::newRow("EXIF form is not ISO") << u"2026:09:18 14:03:12"_s << QDateTime();
        QTest::newRow("bad zone") << u"2026-09-18T14:03:12+8"_s << QDateTime();
        QTest::newRow("text") << u"yesterday"_s << QDateTime();
    }

    void videoTexts()
    {
        QFETCH(QString, text);
        QFETCH(QDateTime, expected);
        QCOMPARE(FrameExtractor::parseVideoDate(text).value_or(QDateTime()), expected);
    }

    // Which embedded tag wins, on real files.
    void photoTags_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QStringList>("tags");
        QTest::addColumn<QDateTime>("expected");
        const QString original = u"Exif.Photo.DateTimeOriginal 2026:09:18 14:03:12"_s;
        const QString digitized = u"Exif.Photo.DateTimeDigitized 2025:01:02 03:04:05"_s;
        const QString tiff = u"Exif.Image.DateTime 2024:05:06 07:08:09"_s;
        QTest::newRow("original") << u"jpg"_s << QStringList { tiff, digitized, original }
                                  << shanghai(2026, 9, 18, 14, 3, 12);
        QTest::newRow("digitized without original")
            << u"jpg"_s << QStringList { tiff, digitized } << shanghai(2025, 1, 2, 3, 4, 5);
        QTest::newRow("TIFF only") << u"jpg"_s << QStringList { tiff } << shanghai(2024, 5, 6, 7, 8, 9);
        QTest::newRow("unusable original skips digitized")
            << u"jpg"_s << QStringList { u"Exif.Photo.DateTimeOriginal not a date"_s, digitized, tiff }
            << shanghai(2024, 5, 6, 7, 8, 9);
        QTest::newRow("PNG") << u"png"_s << QStringList { original } << shanghai(2026, 9, 18, 14, 3, 12);
        QTest::newRow("TIFF file") << u"tif"_s << QStringList { original }
                                   << shanghai(2026, 9, 18, 14, 3, 12);
        QTest::newRow("WebP") << u"webp"_s << QStringList { original } << shanghai(2026, 9, 18, 14, 3, 12);
    }

    void photoTags()
    {
        QFETCH(QString, format);
        QFETCH(QStringList, tags);
        QFETCH(QDateTime, expected);
        if (!MediaFixtures::hasTool(u"ffmpeg"_s) || !MediaFixtures::hasTool(u"exiv2"_s))
            QSKIP("ffmpeg and exiv2 make the fixtures");
        const QString file
            = path(QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'_') + u'.' + format);
        QVERIFY(MediaFixtures::makeJpeg(file));
        QVERIFY(MediaFixtures::setExif(file, tags));
        QCOMPARE(FrameExtractor::photoCreationDate(fsPath(file)).value_or(QDateTime()), expected);
    }

    // HEIC and AVIF keep EXIF inside an ISO base media file; made from a tagged JPEG by libvips.
    void containerPhotos_data()
    {
        QTest::addColumn<QString>("format");
        QTest::newRow("HEIC") << u"heic"_s;
        QTest::newRow("AVIF") << u"avif"_s;
    }

    void containerPhotos()
    {
        QFETCH(QString, format);
        if (!MediaFixtures::hasTool(u"vips"_s))
            QSKIP("vips makes the fixture");
        const QString jpeg = path(u"source-"_s + format + u".jpg"_s);
        QVERIFY(MediaFixtures::makeJpeg(jpeg));
        QVERIFY(MediaFixtures::setExif(jpeg, { u"Exif.Photo.DateTimeOriginal 2026:09:18 14:03:12"_s }));
        const QString file = path(u"photo."_s + format);
        if (!MediaFixtures::run(u"vips"_s, { u"copy"_s, jpeg, file }))
            QSKIP("this libheif cannot encode the format");
        QCOMPARE(FrameExtractor::photoCreationDate(fsPath(file)).value_or(QDateTime()),
            shanghai(2026, 9, 18, 14, 3, 12));
    }

    void videoContainers_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("metadata");
        QTest::addColumn<QDateTime>("expected");
        const QDateTime utc(QDate(2026, 9, 18), QTime(6, 3, 12, 500), Qt::UTC);
        QTest::newRow("mp4 creation_time")
            << u"a.mp4"_s << QStringList { u"-metadata"_s, u"creation_time=2026-09-18T06:03:12.5Z"_s }
            << utc.addMSecs(-500); // the movie header keeps whole seconds
        QTest::newRow("mkv creation_time")
            << u"a.mkv"_s << QStringList { u"-metadata"_s, u"creation_time=2026-09-18T06:03:12.5Z"_s } << utc;
        // Phones write both; the QuickTime date with its zone wins over the UTC export time.
        QTest::newRow("QuickTime date wins")
            << u"b.mov"_s
            << QStringList { u"-metadata"_s, u"creation_time=2030-01-01T00:00:00Z"_s, u"-metadata"_s,
                   u"com.apple.quicktime.creationdate=2026-09-18T14:03:12+0800"_s, u"-movflags"_s,
                   u"use_metadata_tags"_s }
            << shanghai(2026, 9, 18, 14, 3, 12);
    }

    void videoContainers()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, metadata);
        QFETCH(QDateTime, expected);
        if (!MediaFixtures::hasTool(u"ffmpeg"_s))
            QSKIP("ffmpeg makes the fixtures");
        const QString file = path(name);
        QVERIFY(MediaFixtures::makeClip(file, 0.2, metadata));
        QCOMPARE(FrameExtractor::creationDate(fsPath(file)).value_or(QDateTime()), expected);
    }

    // Files without a usable embedded date fall back to the file system's birth time (where it keeps one).
    void fallsBackToBirthTime_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("isVideo");
        QTest::newRow("empty photo") << u"empty.jpg"_s << QByteArray() << false;
        QTest::newRow("empty video") << u"empty.mp4"_s << QByteArray() << true;
        QTest::newRow("text named as photo") << u"notes.jpg"_s << QByteArray("hello\n") << false;
        QTest::newRow("text named as video") << u"notes.mov"_s << QByteArray("hello\n") << true;
        QTest::newRow("truncated JPEG header")
            << u"cut.jpg"_s << QByteArray("\xff\xd8\xff\xe1\x10\x00Exif\0\0MM", 14) << false;
        QTest::newRow("MP4 box claiming 4 GiB") << u"box.mp4"_s
                                                << QByteArray("\xff\xff\xff\xff"
                                                              "ftypisom\0\0\0\0",
                                                       16)
                                                << true;
    }

    void fallsBackToBirthTime()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(bool, isVideo);
        const QString file = path(name);
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(content);
        out.close();
        const auto date = isVideo ? FrameExtractor::creationDate(fsPath(file))
                                  : FrameExtractor::photoCreationDate(fsPath(file));
        QCOMPARE(date, FrameExtractor::fileBirthTime(fsPath(file)));
        if (date)
            QVERIFY(qAbs(date->secsTo(QDateTime::currentDateTimeUtc())) < 600);
    }

    void missingFileHasNoDate()
    {
        QVERIFY(!FrameExtractor::creationDate(fsPath(path(u"gone.mp4"_s))));
        QVERIFY(!FrameExtractor::photoCreationDate(fsPath(path(u"gone.jpg"_s))));
    }

    void fifoIsNeverOpened()
    {
        // Opening a FIFO for reading would block until a writer appears: the reader must not try.
        const QString fifo = path(u"pipe.mp4"_s);
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QVERIFY(!FrameExtractor::creationDate(fsPath(fifo)).has_value()
            || FrameExtractor::creationDate(fsPath(fifo)) == FrameExtractor::fileBirthTime(fsPath(fifo)));
        QVERIFY(
            FrameExtractor::photoCreationDate(fsPath(fifo)) == FrameExtractor::fileBirthTime(fsPath(fifo)));
    }
};

QTEST_GUILESS_MAIN(TestCaptureDate)
#include "TestCaptureDate.moc"

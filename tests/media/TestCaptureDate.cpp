// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/FileDates.h"
#include "media/FrameExtractor.h"
#include "support/MediaFixtures.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <ctime>

using namespace Qt::StringLiterals;

namespace {

// Times in the test zone (UTC+8, no daylight saving) as instants.
QDateTime shanghai(int y, int mo, int d, int h, int mi, int s, int ms = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::OffsetFromUTC, 8 * 3600).toUTC();
}

using MediaFixtures::fsPath;

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
        QTest::newRow("no seconds, as XMP allows")
            << u"2026-09-18T14:03+08:00"_s << shanghai(2026, 9, 18, 14, 3, 0);
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

    // Which embedded tag wins, on real files; an invalid expectation stands for no date.
    void photoTags_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QStringList>("tags");
        QTest::addColumn<QDateTime>("expected");
        QTest::addColumn<DateSource>("source"); // of a date found
        const QString original = u"Exif.Photo.DateTimeOriginal 2026:09:18 14:03:12"_s;
        const QString digitized = u"Exif.Photo.DateTimeDigitized 2025:01:02 03:04:05"_s;
        const QString tiff = u"Exif.Image.DateTime 2024:05:06 07:08:09"_s;
        QTest::newRow("original") << u"jpg"_s << QStringList { tiff, digitized, original }
                                  << shanghai(2026, 9, 18, 14, 3, 12) << DateSource::Metadata;
        QTest::newRow("digitized without original") << u"jpg"_s << QStringList { tiff, digitized }
                                                    << shanghai(2025, 1, 2, 3, 4, 5) << DateSource::Metadata;
        QTest::newRow("TIFF only") << u"jpg"_s << QStringList { tiff } << shanghai(2024, 5, 6, 7, 8, 9)
                                   << DateSource::Metadata;
        QTest::newRow("unusable original skips digitized")
            << u"jpg"_s << QStringList { u"Exif.Photo.DateTimeOriginal not a date"_s, digitized, tiff }
            << shanghai(2024, 5, 6, 7, 8, 9) << DateSource::Metadata;
        QTest::newRow("unset camera clock skips to TIFF")
            << u"jpg"_s
            << QStringList { u"Exif.Photo.DateTimeOriginal 1970:01:01 08:00:00"_s, digitized, tiff }
            << shanghai(2024, 5, 6, 7, 8, 9) << DateSource::Metadata;
        QTest::newRow("XMP original") << u"jpg"_s
                                      << QStringList { u"Xmp.exif.DateTimeOriginal 2026-09-18T06:03:12Z"_s,
                                             u"Xmp.xmp.CreateDate 2020-01-01T00:00:00"_s }
                                      << shanghai(2026, 9, 18, 14, 3, 12) << DateSource::Xmp;
        QTest::newRow("XMP create date after a 1970 EXIF date")
            << u"jpg"_s
            << QStringList { u"Exif.Image.DateTime 1970:01:01 08:00:00"_s,
                   u"Xmp.xmp.CreateDate 2026-09-18T14:03"_s }
            << shanghai(2026, 9, 18, 14, 3, 0) << DateSource::Xmp;
        QTest::newRow("EXIF before XMP")
            << u"jpg"_s << QStringList { original, u"Xmp.xmp.CreateDate 2020-01-01T00:00:00"_s }
            << shanghai(2026, 9, 18, 14, 3, 12) << DateSource::Metadata;
        QTest::newRow("every date before 1971") << u"jpg"_s
                                                << QStringList { u"Exif.Image.DateTime 1904:01:01 00:00:00"_s,
                                                       u"Xmp.exif.DateTimeOriginal 1970-01-01T00:00:00Z"_s }
                                                << QDateTime() << DateSource::Metadata;
        QTest::newRow("PNG") << u"png"_s << QStringList { original } << shanghai(2026, 9, 18, 14, 3, 12)
                             << DateSource::Metadata;
        QTest::newRow("PNG XMP") << u"png"_s
                                 << QStringList { u"Xmp.exif.DateTimeOriginal 2026-09-18T06:03:12Z"_s }
                                 << shanghai(2026, 9, 18, 14, 3, 12) << DateSource::Xmp;
        // exiv2 writes no GIF: these are exiftool's arguments.
        QTest::newRow("GIF XMP") << u"gif"_s
                                 << QStringList { u"-XMP-xmp:CreateDate=2026:09:18 14:03:12+08:00"_s }
                                 << shanghai(2026, 9, 18, 14, 3, 12) << DateSource::Xmp;
        // HEIC and AVIF keep EXIF inside an ISO base media file; made from a tagged JPEG by libvips.
        QTest::newRow("HEIC") << u"heic"_s << QStringList { original } << shanghai(2026, 9, 18, 14, 3, 12)
                              << DateSource::Metadata;
        QTest::newRow("AVIF") << u"avif"_s << QStringList { original } << shanghai(2026, 9, 18, 14, 3, 12)
                              << DateSource::Metadata;
        QTest::newRow("TIFF file") << u"tif"_s << QStringList { original } << shanghai(2026, 9, 18, 14, 3, 12)
                                   << DateSource::Metadata;
        QTest::newRow("WebP") << u"webp"_s << QStringList { original } << shanghai(2026, 9, 18, 14, 3, 12)
                              << DateSource::Metadata;
    }

    void photoTags()
    {
        QFETCH(QString, format);
        QFETCH(QStringList, tags);
        QFETCH(QDateTime, expected);
        QFETCH(DateSource, source);
        if (!MediaFixtures::hasTool(u"ffmpeg"_s) || !MediaFixtures::hasTool(u"exiv2"_s))
            QSKIP("ffmpeg and exiv2 make the fixtures");
        const QString file
            = path(QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'_') + u'.' + format);
        const bool container = format == u"heic" || format == u"avif";
        const QString tagged = container ? file + u".jpg"_s : file;
        QVERIFY(MediaFixtures::makeJpeg(tagged));
        if (format == u"gif") {
            if (!MediaFixtures::hasTool(u"exiftool"_s))
                QSKIP("exiftool writes XMP into GIF");
            QVERIFY(MediaFixtures::run(
                u"exiftool"_s, tags + QStringList { u"-q"_s, u"-overwrite_original"_s, tagged }));
        } else {
            QVERIFY(MediaFixtures::setExif(tagged, tags));
        }
        if (container && !MediaFixtures::run(u"vips"_s, { u"copy"_s, tagged, file }))
            QSKIP("this libheif cannot encode the format");
        const auto date = FrameExtractor::photoCaptureDate(fsPath(file));
        QCOMPARE(date ? date->instant : QDateTime(), expected);
        if (date)
            QCOMPARE(date->source, source);
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
        QTest::newRow("QuickTime date keeps its fraction")
            << u"c.mov"_s
            << QStringList { u"-metadata"_s, u"com.apple.quicktime.creationdate=2026-09-18T14:03:12.5+0800"_s,
                   u"-movflags"_s, u"use_metadata_tags"_s }
            << shanghai(2026, 9, 18, 14, 3, 12, 500);
        // The zero of QuickTime's clock (1904) or of Unix's (1970) is no date; the next source is used.
        QTest::newRow("1904 QuickTime date")
            << u"d.mov"_s
            << QStringList { u"-metadata"_s, u"creation_time=2026-09-18T06:03:12Z"_s, u"-metadata"_s,
                   u"com.apple.quicktime.creationdate=1904-01-01T00:00:00Z"_s, u"-movflags"_s,
                   u"use_metadata_tags"_s }
            << utc.addMSecs(-500);
        QTest::newRow("1970 mp4 creation_time")
            << u"e.mp4"_s << QStringList { u"-metadata"_s, u"creation_time=1970-01-01T00:00:01Z"_s }
            << QDateTime();
        QTest::newRow("1904 mkv creation_time")
            << u"f.mkv"_s << QStringList { u"-metadata"_s, u"creation_time=1904-01-01T00:00:00Z"_s }
            << QDateTime();
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

    // Files that cannot hold a date give none, quickly: FIFOs and devices are never opened.
    void unreadableFiles_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("empty photo") << u"empty.jpg"_s << QByteArray();
        QTest::newRow("empty video") << u"empty.mp4"_s << QByteArray();
        QTest::newRow("text named as photo") << u"notes.jpg"_s << QByteArray("hello\n");
        QTest::newRow("text named as video") << u"notes.mov"_s << QByteArray("hello\n");
        QTest::newRow("truncated JPEG header")
            << u"cut.jpg"_s << QByteArray("\xff\xd8\xff\xe1\x10\x00Exif\0\0MM", 14);
        QTest::newRow("MP4 box claiming 4 GiB") << u"box.mp4"_s
                                                << QByteArray("\xff\xff\xff\xff"
                                                              "ftypisom\0\0\0\0",
                                                       16);
        QTest::newRow("FIFO as video") << u"pipe.mp4"_s << QByteArray("fifo");
        QTest::newRow("FIFO as photo") << u"pipe.jpg"_s << QByteArray("fifo");
        QTest::newRow("device as video") << u"zero.mp4"_s << QByteArray("device");
        QTest::newRow("missing") << u"gone.mp4"_s << QByteArray("missing");
    }

    void unreadableFiles()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        const QString file = path(name);
        QVERIFY(MediaFixtures::place(file, content));
        const auto date = name.endsWith(u".jpg") ? FrameExtractor::photoCreationDate(fsPath(file))
                                                 : FrameExtractor::creationDate(fsPath(file));
        QVERIFY(!date);
    }

    // What phones and cameras write into names; digits that only look like a date are left alone.
    void namedDates_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QDateTime>("expected");
        const QDateTime autumn = shanghai(2019, 10, 6, 14, 30, 12);
        QTest::newRow("phone camera") << QByteArray("IMG_20191006_143012.jpg") << autumn;
        QTest::newRow("phone video") << QByteArray("VID_20191006_143012.mp4") << autumn;
        QTest::newRow("milliseconds") << QByteArray("PXL_20191006_143012123.MP.jpg") << autumn;
        QTest::newRow("screenshot, dashes")
            << QByteArray("Screenshot_2019-10-06-14-30-12-456_com.tencent.mm.jpg") << autumn;
        QTest::newRow("screenshot, compact") << QByteArray("Screenshot_20191006-143012_WeChat.png") << autumn;
        QTest::newRow("drone") << QByteArray("DJI_20191006143012_0001_D.MP4") << autumn;
        QTest::newRow("dots in the time") << QByteArray("2019-10-06 14.30.12.jpg") << autumn;
        QTest::newRow("messenger: the day alone")
            << QByteArray("IMG-20191006-WA0002.jpg") << shanghai(2019, 10, 6, 12, 0, 0);
        QTest::newRow("name that is not UTF-8")
            << QByteArray("\xb2\xe8\xc2\xa5_20191006_143012.jpg") << autumn;
        QTest::newRow("month 13") << QByteArray("IMG_20191306_143012.jpg") << QDateTime();
        QTest::newRow("30 February") << QByteArray("IMG_20190230_143012.jpg") << QDateTime();
        QTest::newRow("hour 25") << QByteArray("IMG_20191006_253012.jpg") << QDateTime();
        QTest::newRow("before digital cameras") << QByteArray("IMG_19851006_143012.jpg") << QDateTime();
        QTest::newRow("the future") << QByteArray("IMG_29991006_143012.jpg") << QDateTime();
        QTest::newRow("inside a longer run") << QByteArray("1234520191006_1430127.jpg") << QDateTime();
        QTest::newRow("counter") << QByteArray("IMG_1234.JPG") << QDateTime();
        QTest::newRow("eight digits alone") << QByteArray("DSC_20191006.jpg") << QDateTime();
    }

    void namedDates()
    {
        QFETCH(QByteArray, name);
        QFETCH(QDateTime, expected);
        QCOMPARE(
            FileDates::fromName(std::filesystem::path(name.toStdString())).value_or(QDateTime()), expected);
    }

    // Metadata, then the name, then the modification time, which a copy keeps (its birth time is the copy's).
    void fallbackOrder()
    {
        const QString named = path(u"IMG_20191006_143012.jpg"_s);
        const QString plain = path(u"plain.jpg"_s);
        QVERIFY(MediaFixtures::place(named, "x") && MediaFixtures::place(plain, "x"));
        const QDateTime modified = shanghai(2020, 1, 2, 3, 4, 5);
        QFile file(plain);
        QVERIFY(
            file.open(QIODevice::ReadWrite) && file.setFileTime(modified, QFileDevice::FileModificationTime));
        file.close();
        const QDateTime metadata = shanghai(2026, 9, 18, 14, 3, 12);
        using Expected = std::pair<QDateTime, DateSource>;
        auto got = [](const QString& name, const std::optional<FileDates::CaptureDate>& fromMetadata) {
            const auto date = FileDates::complete(fsPath(name), fromMetadata);
            return date ? Expected(date->instant, date->source) : Expected();
        };
        QCOMPARE(got(named, FileDates::CaptureDate { metadata, DateSource::Xmp }),
            Expected(metadata, DateSource::Xmp));
        QCOMPARE(got(named, std::nullopt), Expected(shanghai(2019, 10, 6, 14, 30, 12), DateSource::FileName));
        QCOMPARE(got(plain, std::nullopt), Expected(modified, DateSource::FileModified));
        QCOMPARE(got(path(u"gone.jpg"_s), std::nullopt), Expected());
    }
};

QTEST_GUILESS_MAIN(TestCaptureDate)
#include "TestCaptureDate.moc"

// SPDX-License-Identifier: GPL-3.0-or-later
#include "media/GpsReader.h"
#include "support/MediaFixtures.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(std::optional<GeoCoordinate>)

namespace {

using MediaFixtures::fsPath;

using Found = std::optional<GeoCoordinate>;

} // namespace

class TestGpsReader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
    }

    void iso6709_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<Found>("expected");
        QTest::newRow("with altitude")
            << u"+31.2304+121.4737+005.000/"_s << Found(GeoCoordinate { 31.2304, 121.4737 });
        QTest::newRow("south west") << u"-33.8688-070.6693/"_s << Found(GeoCoordinate { -33.8688, -70.6693 });
        QTest::newRow("whole degrees") << u"+48+002/"_s << Found(GeoCoordinate { 48, 2 });
        QTest::newRow("poles and date line") << u"-90.0+180.0/"_s << Found(GeoCoordinate { -90, 180 });
        QTest::newRow("latitude out of range") << u"+91.0000+010.0000/"_s << Found();
        QTest::newRow("longitude out of range") << u"+10.0-180.5/"_s << Found();
        QTest::newRow("no sign") << u"31.2304,121.4737"_s << Found();
        QTest::newRow("empty") << QString() << Found();
        QTest::newRow("after other text") << u"loc: +01.5+002.5/"_s << Found(GeoCoordinate { 1.5, 2.5 });
    }

    void iso6709()
    {
        QFETCH(QString, text);
        QFETCH(Found, expected);
        QCOMPARE(PlaceResolver::parseIso6709(text), expected);
    }

    // The container location first; other entries whose key mentions a location after that.
    void video_data()
    {
        QTest::addColumn<QString>("extension");
        QTest::addColumn<QStringList>("metadata");
        QTest::addColumn<Found>("expected");
        QTest::newRow("mp4 location") << u"mp4"_s << QStringList { u"location=+31.2304+121.4737/"_s }
                                      << Found(GeoCoordinate { 31.2304, 121.4737 });
        QTest::newRow("mov apple key")
            << u"mov"_s
            << QStringList { u"com.apple.quicktime.location.ISO6709=-33.8688+151.2093+010.000/"_s,
                   u"-movflags"_s, u"use_metadata_tags"_s }
            << Found(GeoCoordinate { -33.8688, 151.2093 });
        QTest::newRow("second pass after a bad location")
            << u"mkv"_s << QStringList { u"location=+91.0000+010.0000/"_s, u"gps_location=+10.5-020.25/"_s }
            << Found(GeoCoordinate { 10.5, -20.25 });
        QTest::newRow("none") << u"mp4"_s << QStringList { u"title=holiday"_s } << Found();
    }

    void video()
    {
        QFETCH(QString, extension);
        QFETCH(QStringList, metadata);
        QFETCH(Found, expected);
        if (!MediaFixtures::hasTool(u"ffmpeg"_s))
            QSKIP("ffmpeg makes the clips");
        QStringList arguments { u"-c:v"_s, u"libx264"_s, u"-frames:v"_s, u"3"_s };
        for (const QString& item : metadata) // key=value pairs are metadata, the rest options
            arguments << (item.contains(u'=') ? QStringList { u"-metadata"_s, item } : QStringList { item });
        const QString path = m_dir.filePath(
            QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-') + u'.' + extension);
        QVERIFY(MediaFixtures::makeVideo(path, u"testsrc2=s=64x48:r=10"_s, arguments));
        QCOMPARE(PlaceResolver::coordinate(fsPath(path)), expected);
    }

    void photo_data()
    {
        QTest::addColumn<QStringList>("tags");
        QTest::addColumn<Found>("expected");
        const QString latitude = u"Exif.GPSInfo.GPSLatitude 30/1 30/1 0/1"_s;
        const QString longitude = u"Exif.GPSInfo.GPSLongitude 104/1 3/1 36/1"_s;
        QTest::newRow("north east") << QStringList { latitude, u"Exif.GPSInfo.GPSLatitudeRef N"_s, longitude,
            u"Exif.GPSInfo.GPSLongitudeRef E"_s }
                                    << Found(GeoCoordinate { 30.5, 104.06 });
        QTest::newRow("south west") << QStringList { latitude, u"Exif.GPSInfo.GPSLatitudeRef S"_s, longitude,
            u"Exif.GPSInfo.GPSLongitudeRef W"_s }
                                    << Found(GeoCoordinate { -30.5, -104.06 });
        QTest::newRow("references missing")
            << QStringList { latitude, longitude } << Found(GeoCoordinate { 30.5, 104.06 });
        QTest::newRow("longitude missing") << QStringList { latitude } << Found();
        QTest::newRow("zero denominator")
            << QStringList { u"Exif.GPSInfo.GPSLatitude 30/0 0/1 0/1"_s, longitude } << Found();
        QTest::newRow("no GPS") << QStringList {} << Found();
        // XMP when EXIF has no position: degrees and decimal minutes, or degrees, minutes and seconds.
        QTest::newRow("XMP minutes") << QStringList { u"Xmp.exif.GPSLatitude 30,30.0N"_s,
            u"Xmp.exif.GPSLongitude 104,3.6W"_s }
                                     << Found(GeoCoordinate { 30.5, -104.06 });
        QTest::newRow("XMP seconds") << QStringList { u"Xmp.exif.GPSLatitude 30,30,0S"_s,
            u"Xmp.exif.GPSLongitude 104,3,36E"_s }
                                     << Found(GeoCoordinate { -30.5, 104.06 });
        QTest::newRow("EXIF before XMP") << QStringList { latitude, longitude, u"Xmp.exif.GPSLatitude 1,0N"_s,
            u"Xmp.exif.GPSLongitude 1,0E"_s }
                                         << Found(GeoCoordinate { 30.5, 104.06 });
        QTest::newRow("XMP latitude with a longitude's direction")
            << QStringList { u"Xmp.exif.GPSLatitude 30,30.0E"_s, u"Xmp.exif.GPSLongitude 104,3.6E"_s }
            << Found();
    }

    void photo()
    {
        QFETCH(QStringList, tags);
        QFETCH(Found, expected);
        if (!MediaFixtures::hasTool(u"ffmpeg"_s) || !MediaFixtures::hasTool(u"exiv2"_s))
            QSKIP("ffmpeg and exiv2 make the photos");
        const QString path
            = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-') + u".jpg"_s);
        QVERIFY(MediaFixtures::makeJpeg(path));
        if (!tags.isEmpty())
            QVERIFY(MediaFixtures::setExif(path, tags));
        const Found found = PlaceResolver::photoCoordinate(fsPath(path));
        QCOMPARE(found.has_value(), expected.has_value());
        if (found) {
            QVERIFY(std::abs(found->latitude - expected->latitude) < 1e-9);
            QVERIFY(std::abs(found->longitude - expected->longitude) < 1e-9);
        }
    }

    void unreadable()
    {
        QVERIFY(!PlaceResolver::coordinate(fsPath(m_dir.filePath(u"missing.mp4"_s))));
        QVERIFY(!PlaceResolver::photoCoordinate(fsPath(m_dir.path())));
        for (const QByteArray& content : { QByteArray(1000, '\x42'), QByteArray("fifo") }) {
            const QString path = m_dir.filePath(QString::fromLatin1(content.left(4)) + u".mp4"_s);
            QVERIFY(MediaFixtures::place(path, content));
            QVERIFY(
                !PlaceResolver::coordinate(fsPath(path)) && !PlaceResolver::photoCoordinate(fsPath(path)));
        }
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestGpsReader)
#include "TestGpsReader.moc"

// SPDX-License-Identifier: GPL-3.0-or-later
#include "PictureProbe.h"
#include "media/FrameExtractor.h"
#include "media/ImageCodec.h"
#include "support/MediaFixtures.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

using MediaFixtures::fsPath;

// A width × height card, blue with a red top-left quadrant, in any format vips (or convert) writes.
bool makeCard(const QString& path, int width, int height)
{
    const QString png = path + u".src.png"_s;
    if (!MediaFixtures::makeVideo(png,
            u"color=c=blue:s=%1x%2,drawbox=x=0:y=0:w=%3:h=%4:color=red:t=fill"_s.arg(width)
                .arg(height)
                .arg(width / 2)
                .arg(height / 2),
            { u"-frames:v"_s, u"1"_s }))
        return false;
    if (path.endsWith(u".png"))
        return QFile::rename(png, path);
    if (path.endsWith(u".bmp"))
        return MediaFixtures::run(u"convert"_s, { png, path });
    if (path.endsWith(u".mpo")) { // a stereo pair: the left picture, then the right one
        const QString right = path + u".right.jpg"_s;
        return MediaFixtures::run(u"vips"_s, { u"copy"_s, png, path + u".jpg"_s })
            && MediaFixtures::makeJpeg(right, width, height)
            && MediaFixtures::place(
                path, MediaFixtures::readAll(path + u".jpg"_s) + MediaFixtures::readAll(right));
    }
    if (path.endsWith(u".hif")) // as Canon and Sony cameras write it: 10-bit HEVC
        return MediaFixtures::run(u"vips"_s, { u"heifsave"_s, png, path, u"--bitdepth"_s, u"10"_s });
    return MediaFixtures::run(u"vips"_s, { u"copy"_s, png, path });
}

} // namespace

class TestPhotoExtraction : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        for (const QString& tool : { u"ffmpeg"_s, u"vips"_s, u"exiv2"_s })
            if (!MediaFixtures::hasTool(tool))
                QSKIP("ffmpeg, vips and exiv2 are needed to make test photos");
        QVERIFY(m_dir.isValid());
    }

    // The rule itself, and on real files where the row fits the photo box.
    void downscaleRule_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("maxSize");
        QTest::addColumn<QSize>("expected"); // invalid: left as it is
        QTest::newRow("fits already") << QSize(1000, 800) << 1280 << QSize();
        QTest::newRow("exactly the limit") << QSize(1280, 720) << 1280 << QSize();
        QTest::newRow("landscape") << QSize(4032, 3024) << 1280 << QSize(1280, 960);
        QTest::newRow("portrait") << QSize(3024, 4032) << 1280 << QSize(960, 1280);
        QTest::newRow("square uses the height") << QSize(5000, 5000) << 1280 << QSize(1280, 1280);
        QTest::newRow("half rounds away from zero") << QSize(2560, 1001) << 1280 << QSize(1280, 501);
        QTest::newRow("thin strip rounds to one") << QSize(3, 5000) << 1280 << QSize(1, 1280);
        QTest::newRow("thinner strip stays") << QSize(1, 5000) << 1280 << QSize();
        QTest::newRow("zero box") << QSize(100, 100) << 0 << QSize();
    }

    void downscaleRule()
    {
        QFETCH(QSize, size);
        QFETCH(int, maxSize);
        QFETCH(QSize, expected);
        const auto got = ImageCodec::scaledSize(size.width(), size.height(), maxSize);
        QCOMPARE(got.has_value(), expected.isValid());
        if (got)
            QCOMPARE(QSize(got->width, got->height), expected);
        if (maxSize != 1280 || size.width() * size.height() > 5'000'000)
            return;
        const QString path = m_dir.filePath(u"size-%1x%2.png"_s.arg(size.width()).arg(size.height()));
        QVERIFY(MediaFixtures::run(
            u"vips"_s, { u"black"_s, path, QString::number(size.width()), QString::number(size.height()) }));
        const PictureProbe probe = PictureProbe::decode(FrameExtractor::extractImage(fsPath(path), maxSize));
        QCOMPARE(QSize(probe.width, probe.height), expected.isValid() ? expected : size);
    }

    // Every photo extension the import accepts (RAW through a DNG, the one RAW a test can write).
    void formats_data()
    {
        QTest::addColumn<QString>("extension");
        for (const char* extension : { "jpg", "jpeg", "png", "tif", "tiff", "webp", "bmp", "heic", "heif",
                 "hif", "avif", "gif", "mpo" })
            QTest::newRow(extension) << QString::fromLatin1(extension);
    }

    void formats()
    {
        QFETCH(QString, extension);
        const QString path = m_dir.filePath(u"card."_s + extension);
        if (!makeCard(path, 2000, 1500))
            QSKIP("no encoder for this format");
        const QByteArray jpeg = FrameExtractor::extractImage(fsPath(path), 1280);
        const PictureProbe probe = PictureProbe::decode(jpeg);
        QCOMPARE(QSize(probe.width, probe.height), QSize(1280, 960));
        QVERIFY(probe.isRed(0.1, 0.1, 0.4, 0.4));
        QVERIFY(!probe.isRed(0.6, 0.6, 0.9, 0.9));
    }

    // Pictures that are not 8-bit sRGB come out as 8-bit sRGB JPEGs with their colours (or grey tones).
    void colourSpaces_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("convert"); // ImageMagick options between the card and the output
        QTest::addColumn<bool>("isColour"); // red card quadrant, else brighter top-left in grey
        QTest::newRow("CMYK JPEG") << u"cmyk.jpg"_s << QStringList { u"-colorspace"_s, u"CMYK"_s } << true;
        QTest::newRow("CMYK TIFF") << u"cmyk.tif"_s << QStringList { u"-colorspace"_s, u"CMYK"_s } << true;
        QTest::newRow("CIELab TIFF") << u"lab.tif"_s << QStringList { u"-colorspace"_s, u"Lab"_s } << true;
        QTest::newRow("16-bit RGB PNG")
            << u"rgb16.png"_s << QStringList { u"-depth"_s, u"16"_s, u"-define"_s, u"png:bit-depth=16"_s }
            << true;
        QTest::newRow("16-bit RGB with alpha") << u"rgba16.png"_s
                                               << QStringList { u"-alpha"_s, u"set"_s, u"-depth"_s, u"16"_s,
                                                      u"-define"_s, u"png:bit-depth=16"_s }
                                               << true;
        QTest::newRow("32-bit float TIFF")
            << u"float.tif"_s
            << QStringList { u"-depth"_s, u"32"_s, u"-define"_s, u"quantum:format=floating-point"_s } << true;
        QTest::newRow("palette PNG") << u"palette.png"_s << QStringList { u"-type"_s, u"Palette"_s } << true;
        QTest::newRow("16-bit grey TIFF")
            << u"grey16.tif"_s << QStringList { u"-colorspace"_s, u"Gray"_s, u"-depth"_s, u"16"_s } << false;
        QTest::newRow("grey with alpha PNG")
            << u"greya.png"_s << QStringList { u"-colorspace"_s, u"Gray"_s, u"-alpha"_s, u"set"_s } << false;
        QTest::newRow("10,000-page TIFF, first page")
            << u"pages.tif"_s
            << QStringList { u"-size"_s, u"1x1"_s, u"xc:blue"_s, u"-duplicate"_s, u"9998"_s } << true;
        QTest::newRow("animated GIF, first frame")
            << u"animated.gif"_s << QStringList { u"-size"_s, u"400x300"_s, u"xc:blue"_s } << true;
    }

    void colourSpaces()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, convert);
        QFETCH(bool, isColour);
        if (!MediaFixtures::hasTool(u"convert"_s))
            QSKIP("ImageMagick makes these pictures");
        const QString card = m_dir.filePath(u"card-for-"_s + name + u".png"_s);
        QVERIFY(makeCard(card, 400, 300));
        const QString path = m_dir.filePath(name);
        QVERIFY(MediaFixtures::run(u"convert"_s, QStringList { card } + convert + QStringList { path }));
        const PictureProbe probe = PictureProbe::decode(FrameExtractor::extractImage(fsPath(path), 1280));
        QCOMPARE(QSize(probe.width, probe.height), QSize(400, 300));
        if (isColour) {
            QVERIFY(probe.isRed(0.1, 0.1, 0.4, 0.4));
            QVERIFY(!probe.isRed(0.6, 0.6, 0.9, 0.9));
        } else {
            QVERIFY(probe.mean(0, 0.1, 0.1, 0.4, 0.4) > probe.mean(0, 0.6, 0.6, 0.9, 0.9) + 10);
        }
    }

    // A thermal camera's 16-bit grey fills a sliver of the range; it is stretched, not shown flat.
    void narrowSixteenBitGrey()
    {
        if (!MediaFixtures::hasTool(u"convert"_s))
            QSKIP("ImageMagick makes this picture");
        const QString path = m_dir.filePath(u"thermal.tif"_s);
        QVERIFY(MediaFixtures::run(u"convert"_s,
            { u"-size"_s, u"300x400"_s, u"gradient:gray40-gray45"_s, u"-colorspace"_s, u"Gray"_s, u"-depth"_s,
                u"16"_s, path }));
        const PictureProbe probe = PictureProbe::decode(FrameExtractor::extractImage(fsPath(path), 1280));
        QCOMPARE(QSize(probe.width, probe.height), QSize(300, 400));
        QVERIFY(probe.mean(0, 0, 0, 1, 0.1) < 55);
        QVERIFY(probe.mean(0, 0, 0.9, 1, 1) > 200);
    }

    // EXIF orientations 1..8 on a 400 × 300 card; where the red quadrant lands after turning.
    void orientation_data()
    {
        QTest::addColumn<int>("orientation");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QPointF>("redCorner");
        QTest::newRow("1 as stored") << 1 << QSize(200, 150) << QPointF(0, 0);
        QTest::newRow("2 mirrored") << 2 << QSize(200, 150) << QPointF(1, 0);
        QTest::newRow("3 half turn") << 3 << QSize(200, 150) << QPointF(1, 1);
        QTest::newRow("4 flipped") << 4 << QSize(200, 150) << QPointF(0, 1);
        QTest::newRow("5 transposed") << 5 << QSize(150, 200) << QPointF(0, 0);
        QTest::newRow("6 clockwise") << 6 << QSize(150, 200) << QPointF(1, 0);
        QTest::newRow("7 transversed") << 7 << QSize(150, 200) << QPointF(1, 1);
        QTest::newRow("8 anticlockwise") << 8 << QSize(150, 200) << QPointF(0, 1);
        QTest::newRow("6 clockwise, not scaled") << 6 << QSize(300, 400) << QPointF(1, 0);
    }

    void orientation()
    {
        QFETCH(int, orientation);
        QFETCH(QSize, size);
        QFETCH(QPointF, redCorner);
        const QString path = m_dir.filePath(u"oriented-%1.jpg"_s.arg(orientation));
        QVERIFY(makeCard(path, 400, 300));
        QVERIFY(MediaFixtures::setExif(path, { u"Exif.Image.Orientation %1"_s.arg(orientation) }));
        const int maxSize = std::max(size.width(), size.height());
        const PictureProbe probe = PictureProbe::decode(FrameExtractor::extractImage(fsPath(path), maxSize));
        QCOMPARE(QSize(probe.width, probe.height), size);
        const double x = redCorner.x() * 0.5, y = redCorner.y() * 0.5;
        QVERIFY(probe.isRed(x + 0.1, y + 0.1, x + 0.4, y + 0.4));
        QVERIFY(!probe.isRed(0.6 - x, 0.6 - y, 0.9 - x, 0.9 - y));
    }

    // HEIF carries its rotation in the container (libheif applies it); EXIF orientation there must not
    // turn the picture a second time.
    void heifIgnoresExifOrientation()
    {
        if (!MediaFixtures::hasTool(u"exiftool"_s))
            QSKIP("exiftool writes EXIF into HEIF");
        const QString path = m_dir.filePath(u"tagged.heic"_s);
        if (!makeCard(path, 400, 300))
            QSKIP("no HEIF encoder");
        QVERIFY(MediaFixtures::run(
            u"exiftool"_s, { u"-q"_s, u"-overwrite_original"_s, u"-n"_s, u"-Orientation=6"_s, path }));
        const PictureProbe probe = PictureProbe::decode(FrameExtractor::extractImage(fsPath(path), 1280));
        QCOMPARE(QSize(probe.width, probe.height), QSize(400, 300));
        QVERIFY(probe.isRed(0.1, 0.1, 0.4, 0.4));
    }

    // A DNG whose embedded preview is large enough is shown by the preview (red here), turned by the
    // RAW's orientation; with only a small preview the sensor data is decoded (grey here).
    void cameraRaw_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("previewWidth");
        QTest::addColumn<int>("orientation");
        QTest::addColumn<QSize>("expected");
        QTest::addColumn<bool>("fromPreview");
        QTest::newRow("large preview") << u"a.dng"_s << 1600 << 1 << QSize(1280, 960) << true;
        QTest::newRow("large preview, portrait") << u"b.dng"_s << 1600 << 6 << QSize(960, 1280) << true;
        QTest::newRow("small preview") << u"c.dng"_s << 160 << 1 << QSize(1280, 960) << false;
        QTest::newRow("no preview") << u"d.dng"_s << 0 << 1 << QSize(1280, 960) << false;
        // LibRaw tells RAW formats apart by content; each RAW name must reach it (libvips would show the
        // small preview).
        for (const char* extension : { "nef", "cr2", "crw", "pef", "srw", "nrw" })
            QTest::newRow(extension) << u"e."_s + QString::fromLatin1(extension) << 160 << 1
                                     << QSize(1280, 960) << false;
    }

    void cameraRaw()
    {
        QFETCH(QString, name);
        QFETCH(int, previewWidth);
        QFETCH(int, orientation);
        QFETCH(QSize, expected);
        QFETCH(bool, fromPreview);
        QByteArray preview;
        const int previewHeight = previewWidth * 3 / 4;
        if (previewWidth > 0) {
            const QString jpeg = m_dir.filePath(u"preview-%1.jpg"_s.arg(previewWidth));
            QVERIFY(MediaFixtures::makeVideo(jpeg,
                u"color=c=red:s=%1x%2"_s.arg(previewWidth).arg(previewHeight), { u"-frames:v"_s, u"1"_s }));
            preview = MediaFixtures::readAll(jpeg);
        }
        const QString path = m_dir.filePath(name);
        QVERIFY(MediaFixtures::makeDng(
            path, 2000, 1500, 1500, preview, previewWidth, previewHeight, orientation));
        const PictureProbe probe = PictureProbe::decode(FrameExtractor::extractImage(fsPath(path), 1280));
        QCOMPARE(QSize(probe.width, probe.height), expected);
        QCOMPARE(probe.isRed(0.2, 0.2, 0.8, 0.8), fromPreview);
    }

    // Nothing here may crash, hang, allocate without bound or give a picture.
    void unusableInput_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QByteArray png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\x01\x86\xa0\0\x01\x86\xa0\x08\x02\0\0\0", 29);
        png += QByteArray(4, '\0') + QByteArray("\0\0\0\x10IDAT", 8) + QByteArray(20, 'x');
        QByteArray jpeg(
            "\xFF\xD8\xFF\xC0\0\x11\x08\xFD\xE8\xFD\xE8\x03\x01\x22\0\x02\x11\x01\x03\x11\x01", 21);
        jpeg += QByteArray("\xFF\xDA\0\x0C\x03\x01\0\x02\x11\x03\x11\0\x3F\0", 14) + QByteArray(64, '\x55');
        QTest::newRow("zero bytes") << u"empty.jpg"_s << QByteArray();
        QTest::newRow("text named png") << u"text.png"_s << QByteArray("just some words\n");
        QTest::newRow("svg named jpg") << u"vector.jpg"_s
                                       << QByteArray("<svg xmlns='http://www.w3.org/2000/svg' width='10' "
                                                     "height='10'><rect width='10' height='10'/></svg>");
        QTest::newRow("png claiming 10 gigapixels") << u"huge.png"_s << png;
        QTest::newRow("jpeg claiming 65000 squared") << u"huge.jpg"_s << jpeg;
        QTest::newRow("garbage named nef") << u"noise.nef"_s << QByteArray(4096, '\x5a');
        QTest::newRow("CIFF header, garbage body")
            << u"noise.crw"_s << QByteArray("II\x1a\0\0\0HEAPCCDR", 14) + QByteArray(4096, '\x5a');
        QTest::newRow("magick script named bmp")
            << u"script.bmp"_s << QByteArray("push graphic-context\nviewbox 0 0 10 10\n");
        QTest::newRow("fifo") << u"pipe.jpg"_s << QByteArray("fifo");
        QTest::newRow("device") << u"zero.jpg"_s << QByteArray("device");
        QTest::newRow("folder") << u"folder.jpg"_s << QByteArray("folder");
        QTest::newRow("missing") << u"missing.jpg"_s << QByteArray("missing");
    }

    void unusableInput()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        const QString path = m_dir.filePath(name);
        QVERIFY(MediaFixtures::place(path, content));
        QVERIFY(FrameExtractor::extractImage(fsPath(path), 1280).isEmpty());
    }

    // What decoders make of damaged files is not sent to the model; dim, pale and misty pictures are.
    void flatPictures_data()
    {
        QTest::addColumn<QString>("source"); // FFmpeg lavfi
        QTest::addColumn<int>("quality"); // FFmpeg's JPEG scale: 2 best, 31 worst
        QTest::addColumn<bool>("isFlat");
        // Noise drawn per pixel, as sensors make it; ±6 levels of luma, ±3 of blue.
        const QString noisy = u"color=s=1280x720,format=yuv444p,geq=lum='%1+12*(random(1)-0.5)':"
                              u"cb='128+6*(random(2)-0.5)':cr=128"_s;
        QTest::newRow("black") << u"color=c=black:s=1280x720"_s << 2 << true;
        QTest::newRow("white") << u"color=c=white:s=1280x720"_s << 2 << true;
        QTest::newRow("grey with noise of a few levels") << noisy.arg(128) << 2 << true;
        QTest::newRow("noise and heavy compression") << noisy.arg(32) << 31 << true;
        QTest::newRow("two lamps at night") << noisy.arg(20)
                + u",drawbox=x=200:y=150:w=16:h=16:color=0xffe0a0:t=fill,"
                  u"drawbox=x=900:y=400:w=10:h=24:color=white:t=fill"_s
                                            << 8 << false;
        QTest::newRow("white wall, light falling off")
            << u"color=s=1280x720,format=gray,geq=lum='240-6*X/W+8*(random(1)-0.5)'"_s << 8 << false;
        QTest::newRow("mist") << u"testsrc2=s=1280x720,lutrgb=r='200+val/16':g='200+val/16':b='200+val/16'"_s
                              << 8 << false;
    }

    void flatPictures()
    {
        QFETCH(QString, source);
        QFETCH(int, quality);
        QFETCH(bool, isFlat);
        const QString path
            = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-') + u".jpg"_s);
        QVERIFY(MediaFixtures::makeVideo(
            path, source, { u"-frames:v"_s, u"1"_s, u"-q:v"_s, QString::number(quality) }));
        // As the model would get it: decoded, scaled and encoded again.
        const QByteArray sent = FrameExtractor::extractImage(fsPath(path), 1280);
        QVERIFY(!sent.isEmpty());
        QCOMPARE(FrameExtractor::isNearlyFlat(sent), isFlat);
    }

    // Cut in half, a JPEG still shows what it has, as the platform decoders do; the other formats give
    // their picture or nothing.
    void truncated_data()
    {
        QTest::addColumn<QString>("extension");
        for (const char* extension : { "jpg", "png", "tif", "webp", "heic", "hif", "gif" })
            QTest::newRow(extension) << QString::fromLatin1(extension);
    }

    void truncated()
    {
        QFETCH(QString, extension);
        const QString whole = m_dir.filePath(u"whole."_s + extension);
        if (!makeCard(whole, 800, 600))
            QSKIP("no encoder for this format");
        const QByteArray data = MediaFixtures::readAll(whole);
        const QString path = m_dir.filePath(u"truncated."_s + extension);
        QVERIFY(MediaFixtures::place(path, data.left(data.size() / 2)));
        const QByteArray jpeg = FrameExtractor::extractImage(fsPath(path), 1280);
        const PictureProbe probe = PictureProbe::decode(jpeg);
        if (extension == u"jpg" || !jpeg.isEmpty())
            QCOMPARE(QSize(probe.width, probe.height), QSize(800, 600));
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestPhotoExtraction)
#include "TestPhotoExtraction.moc"

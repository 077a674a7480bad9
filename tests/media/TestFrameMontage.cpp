// SPDX-License-Identifier: GPL-3.0-or-later
#include "PictureProbe.h"
#include "media/FrameMontage.h"
#include "support/MediaFixtures.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestFrameMontage : public QObject
{
    Q_OBJECT

private:
    QByteArray frame(const QString& colour, int width, int height)
    {
        const QString path = m_dir.filePath(u"%1-%2x%3.jpg"_s.arg(colour).arg(width).arg(height));
        if (!QFile::exists(path)
            && !MediaFixtures::makeVideo(
                path, u"color=c=%1:s=%2x%3"_s.arg(colour).arg(width).arg(height), { u"-frames:v"_s, u"1"_s }))
            return {};
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir m_dir;

private slots:
    void initTestCase()
    {
        if (!MediaFixtures::hasTool(u"ffmpeg"_s))
            QSKIP("ffmpeg makes the test frames");
        QVERIFY(m_dir.isValid());
    }

    // The table of layouts: every count from 1 to 12 gives these grids and canvases.
    void layouts_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("columns");
        QTest::addColumn<int>("rows");
        QTest::addColumn<QSize>("cell");
        QTest::addColumn<QSize>("canvas");
        QTest::newRow("1") << 1 << 1 << 1 << QSize() << QSize(640, 360);
        QTest::newRow("2") << 2 << 2 << 1 << QSize(905, 509) << QSize(1828, 521);
        for (int n : { 3, 4 })
            QTest::newRow(qPrintable(QString::number(n)))
                << n << 2 << 2 << QSize(640, 360) << QSize(1298, 738);
        for (int n : { 5, 6 })
            QTest::newRow(qPrintable(QString::number(n)))
                << n << 3 << 2 << QSize(523, 294) << QSize(1593, 606);
        for (int n : { 7, 8, 9 })
            QTest::newRow(qPrintable(QString::number(n)))
                << n << 3 << 3 << QSize(427, 240) << QSize(1305, 744);
        for (int n : { 10, 11, 12 })
            QTest::newRow(qPrintable(QString::number(n)))
                << n << 3 << 4 << QSize(370, 208) << QSize(1134, 862);
    }

    void layouts()
    {
        QFETCH(int, count);
        QFETCH(int, columns);
        QFETCH(int, rows);
        QFETCH(QSize, cell);
        QFETCH(QSize, canvas);
        if (cell.isValid()) {
            const FrameMontage::Layout layout = FrameMontage::layoutFor(count);
            QCOMPARE(QSize(layout.cellWidth, layout.cellHeight), cell);
        }
        QByteArrayList frames;
        for (int i = 0; i < count; ++i)
            frames.append(frame(u"red"_s, 640, 360));
        const auto montage = FrameMontage::compose(frames, 0.8);
        QVERIFY(montage);
        QCOMPARE(montage->columns, columns);
        QCOMPARE(montage->rows, rows);
        QCOMPARE(montage->frameCount, count);
        QCOMPARE(QSize(montage->width, montage->height), canvas);
        const PictureProbe probe = PictureProbe::decode(montage->jpeg);
        QCOMPARE(QSize(probe.width, probe.height), canvas);
    }

    void nothingToCompose()
    {
        QVERIFY(!FrameMontage::compose({}, 0.8));
        QVERIFY(!FrameMontage::compose({ "not a picture", QByteArray(), QByteArray(500, '\xff') }, 0.8));
    }

    // The grid follows the frames that decode: one good frame among broken ones is re-encoded alone.
    void onlyDecodableFramesCount()
    {
        const QByteArray good = frame(u"blue"_s, 320, 200);
        const auto single = FrameMontage::compose({ "broken", good, QByteArray(64, 'x') }, 0.8);
        QVERIFY(single);
        QCOMPARE(single->frameCount, 1);
        QCOMPARE(QSize(single->width, single->height), QSize(320, 200));
        QCOMPARE(QSize(PictureProbe::decode(single->jpeg).width, PictureProbe::decode(single->jpeg).height),
            QSize(320, 200));

        const auto three = FrameMontage::compose({ good, good, "broken", good }, 0.8);
        QVERIFY(three);
        QCOMPARE(three->frameCount, 3);
        QCOMPARE(three->columns, 2);
        QCOMPARE(three->rows, 2);
    }

    // Two landscape frames are enlarged to their cells; margins and gaps stay black.
    void placesFramesInOrder()
    {
        const auto montage
            = FrameMontage::compose({ frame(u"red"_s, 640, 360), frame(u"blue"_s, 640, 360) }, 0.9);
        QVERIFY(montage);
        const PictureProbe p = PictureProbe::decode(montage->jpeg);
        QVERIFY(p.meanPixels(0, 20, 20, 900, 500) > 200); // first cell red
        QVERIFY(p.meanPixels(2, 930, 20, 1810, 500) > 200); // second cell blue
        QVERIFY(p.meanPixels(0, 0, 0, 1828, 4) < 20); // top margin black
        QVERIFY(p.meanPixels(0, 912, 0, 916, 521) < 40); // gap between the cells
    }

    // A portrait frame in a landscape cell is centred with black bars (202.5 × 360 in 640 × 360).
    void portraitFrameIsCentred()
    {
        const QByteArray portrait = frame(u"white"_s, 360, 640);
        const auto montage = FrameMontage::compose({ portrait, portrait, portrait }, 0.9);
        QVERIFY(montage);
        const PictureProbe p = PictureProbe::decode(montage->jpeg);
        // First cell spans x 6..646; the picture covers about 225..427.
        QVERIFY(p.meanPixels(1, 20, 20, 200, 350) < 20);
        QVERIFY(p.meanPixels(1, 240, 20, 410, 350) > 230);
        QVERIFY(p.meanPixels(1, 450, 20, 640, 350) < 20);
        // Three frames: the bottom-right cell stays black.
        QVERIFY(p.meanPixels(1, 660, 380, 1290, 730) < 10);
    }

private:
};

QTEST_GUILESS_MAIN(TestFrameMontage)
#include "TestFrameMontage.moc"

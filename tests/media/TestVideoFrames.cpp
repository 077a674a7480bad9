// SPDX-License-Identifier: GPL-3.0-or-later
#include "PictureProbe.h"
#include "media/FrameExtractor.h"
#include "media/VideoFrames.h"
#include "support/MediaFixtures.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/display.h>
}

#include <cmath>

using namespace Qt::StringLiterals;

namespace {

constexpr int NumberedFrames = 47;
constexpr int NumberedRate = 10;
// Frame k of the numbered clips is flat grey with luma 16 + 4k, which decodes to about 4.66·k.
constexpr double GreyStep = 4.0 * 255.0 / 219.0;

QString numberedSource(int rate = NumberedRate)
{
    return u"color=c=black:s=160x120:r=%1,format=yuv420p,geq=lum='16+4*N':cb=128:cr=128"_s.arg(rate);
}

int frameNumber(const QByteArray& jpeg)
{
    const PictureProbe probe = PictureProbe::decode(jpeg);
    return probe.isValid() ? int(std::lround(probe.mean(1) / GreyStep)) : -1;
}

QList<int> frameNumbers(const QByteArrayList& frames)
{
    QList<int> numbers;
    for (const QByteArray& frame : frames)
        numbers.append(frameNumber(frame));
    return numbers;
}

using MediaFixtures::fsPath;

// Copies a clip's packets into a new MP4 whose video track carries this display matrix, the way phones
// record turned or mirrored video. (Debian's ffmpeg 5.1 program has no option for mirroring.)
bool remuxWithMatrix(const QString& from, const QString& to, double angle, bool mirror)
{
    AVFormatContext* input = nullptr;
    if (avformat_open_input(&input, QFile::encodeName(from).constData(), nullptr, nullptr) < 0)
        return false;
    bool ok = avformat_find_stream_info(input, nullptr) >= 0;
    AVFormatContext* output = nullptr;
    ok = ok
        && avformat_alloc_output_context2(&output, nullptr, "mp4", QFile::encodeName(to).constData()) >= 0;
    AVStream* stream = ok ? avformat_new_stream(output, nullptr) : nullptr;
    ok = stream && avcodec_parameters_copy(stream->codecpar, input->streams[0]->codecpar) >= 0;
    if (ok) {
        stream->codecpar->codec_tag = 0;
        stream->time_base = input->streams[0]->time_base;
        auto* matrix = reinterpret_cast<int32_t*>(
            av_stream_new_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(int32_t)));
        ok = matrix != nullptr;
        if (ok) {
            av_display_rotation_set(matrix, angle);
            if (mirror)
                av_display_matrix_flip(matrix, 1, 0);
        }
    }
    ok = ok && avio_open(&output->pb, QFile::encodeName(to).constData(), AVIO_FLAG_WRITE) >= 0;
    ok = ok && avformat_write_header(output, nullptr) >= 0;
    AVPacket* packet = av_packet_alloc();
    while (ok && av_read_frame(input, packet) >= 0) {
        if (packet->stream_index == 0) {
            av_packet_rescale_ts(packet, input->streams[0]->time_base, stream->time_base);
            packet->stream_index = 0;
            ok = av_interleaved_write_frame(output, packet) >= 0;
        }
        av_packet_unref(packet);
    }
    ok = ok && av_write_trailer(output) >= 0;
    av_packet_free(&packet);
    if (output) {
        if (output->pb)
            avio_closep(&output->pb);
        avformat_free_context(output);
    }
    avformat_close_input(&input);
    return ok;
}

// The tables spell FFmpeg's output options as one string.
QStringList options(const QString& spaced)
{
    return spaced.split(u' ', Qt::SkipEmptyParts);
}

} // namespace

class TestVideoFrames : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!MediaFixtures::hasTool(u"ffmpeg"_s))
            QSKIP("ffmpeg is needed to make test clips");
        QVERIFY(m_dir.isValid());
    }

    void instants_data()
    {
        QTest::addColumn<double>("duration");
        QTest::addColumn<int>("count");
        QTest::addColumn<QList<double>>("expected");
        QTest::newRow("four of ten seconds") << 10.0 << 4 << QList<double> { 2, 4, 6, 8 };
        QTest::newRow("one is the middle") << 7.0 << 1 << QList<double> { 3.5 };
        QTest::newRow("zero becomes one") << 7.0 << 0 << QList<double> { 3.5 };
        QTest::newRow("negative becomes one") << 7.0 << -3 << QList<double> { 3.5 };
        QTest::newRow("twenty becomes twelve")
            << 13.0 << 20 << QList<double> { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12 };
        QTest::newRow("rounded to 1/600 s") << 1.0 << 2 << QList<double> { 200 / 600.0, 400 / 600.0 };
        QTest::newRow("no duration") << 0.0 << 4 << QList<double> {};
        QTest::newRow("not a number") << std::nan("") << 4 << QList<double> {};
    }

    void instants()
    {
        QFETCH(double, duration);
        QFETCH(int, count);
        QFETCH(QList<double>, expected);
        const std::vector<double> got = VideoFrames::instants(duration, count);
        QCOMPARE(qsizetype(got.size()), expected.size());
        for (size_t i = 0; i < got.size(); ++i)
            QVERIFY2(std::abs(got[i] - expected[qsizetype(i)]) < 1e-9, qPrintable(QString::number(got[i])));
    }

    // Every container of the import with a codec that devices put in it: the frames are the pictures on
    // screen at D·i/5, not the next ones and not the nearest key frames.
    void exactInstants_data()
    {
        QTest::addColumn<QString>("extension");
        QTest::addColumn<QString>("arguments"); // the encoder follows -c:v
        QTest::addColumn<int>("rate");
        const QString x264 = u"-c:v libx264 -qp 4 -x264-params "
                             u"keyint=20:min-keyint=20:scenecut=0:bframes=3:b-adapt=0:b-pyramid=normal"_s;
        const QString x265 = u"-c:v libx265 -qp 4 -x265-params "
                             u"keyint=10:min-keyint=10:scenecut=0:bframes=4:b-adapt=0:log-level=error"_s;
        // MPEG-4 Part 2 (camera and DivX AVI) with B-frames: every key frame is followed in the file by
        // B-frames shown before it. With every frame changing, the encoder makes each reference an
        // intra picture; without scene cuts, it makes P-frames.
        const QString mpeg4 = u"-c:v mpeg4 -bf 2 -g 12 -q:v 2"_s;
        QTest::newRow("mp4 h264 b-frames") << u"mp4"_s << x264 << 10;
        QTest::newRow("mov hevc open gop") << u"mov"_s << x265 << 10;
        QTest::newRow("mkv h264 b-frames") << u"mkv"_s << x264 << 10;
        QTest::newRow("webm vp9") << u"webm"_s << u"-c:v libvpx-vp9 -deadline realtime -crf 10 -b:v 0 -g 20"_s
                                  << 10;
        // Camera AVI is Motion JPEG; AVI keeps no presentation times, so H.264 with B-frames checks the
        // picture counting.
        QTest::newRow("avi motion jpeg") << u"avi"_s << u"-c:v mjpeg -q:v 2"_s << 10;
        QTest::newRow("avi h264 b-frames") << u"avi"_s << x264 << 10;
        QTest::newRow("avi mpeg-4 b-frames") << u"avi"_s << mpeg4 << 10;
        QTest::newRow("avi mpeg-4 p-frames") << u"avi"_s << mpeg4 + u" -sc_threshold 1000000000"_s << 10;
        QTest::newRow("wmv") << u"wmv"_s << u"-c:v wmv2 -q:v 2"_s << 10;
        QTest::newRow("flv h264") << u"flv"_s << x264 << 10;
        QTest::newRow("ts h264") << u"ts"_s << x264 << 10;
        QTest::newRow("ts hevc") << u"ts"_s << x265 << 10;
        QTest::newRow("mpg mpeg-2") << u"mpg"_s << u"-c:v mpeg2video -bf 2 -g 12 -q:v 2 -f vob"_s << 25;
        QTest::newRow("mpeg mpeg-1") << u"mpeg"_s << u"-c:v mpeg1video -bf 2 -g 12 -q:v 2 -f mpeg"_s << 25;
        // AVCHD camcorders: interlaced H.264 in 192-byte transport packets. Phones' 3GP: H.263.
        QTest::newRow("mts interlaced h264")
            << u"mts"_s << x264 + u" -flags +ildct+ilme -f mpegts -mpegts_m2ts_mode 1"_s << 25;
        QTest::newRow("3gp h263") << u"3gp"_s << u"-s 176x144 -c:v h263 -g 12 -q:v 2"_s << 10;
        QTest::newRow("mov prores") << u"mov"_s << u"-c:v prores_ks -profile:v 0"_s << 10;
        QTest::newRow("webm vp8") << u"webm"_s << u"-c:v libvpx -deadline realtime -crf 4 -b:v 2M -g 20"_s
                                  << 10;
        QTest::newRow("mkv av1") << u"mkv"_s << u"-c:v libaom-av1 -usage realtime -cpu-used 8 -crf 4 -g 20"_s
                                 << 10;
        // DV has two frame sizes only; camcorders wrote PAL DV into AVI.
        QTest::newRow("avi dv") << u"avi"_s << u"-s 720x576 -c:v dvvideo -pix_fmt yuv420p"_s << 25;
        QTest::newRow("raw dv") << u"dv"_s << u"-s 720x576 -c:v dvvideo -pix_fmt yuv420p -f dv"_s << 25;
    }

    void exactInstants()
    {
        QFETCH(QString, extension);
        QFETCH(QString, arguments);
        QFETCH(int, rate);
        const QStringList list = options(arguments);
        if (!avcodec_find_encoder_by_name(list.at(list.indexOf(u"-c:v"_s) + 1).toLatin1().constData()))
            QSKIP("encoder not available");
        const QString path = m_dir.filePath(
            QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-') + u'.' + extension);
        QVERIFY(MediaFixtures::makeVideo(path, numberedSource(rate),
            list + QStringList { u"-frames:v"_s, QString::number(NumberedFrames) }));

        // Containers differ in what they count as the length (FLV includes the B-frame delay); the
        // instants follow whatever length the file states.
        const auto duration = FrameExtractor::durationSeconds(fsPath(path));
        QVERIFY(duration);
        const double nominal = double(NumberedFrames) / rate;
        QVERIFY2(
            *duration > nominal - 0.25 && *duration < nominal + 0.25, qPrintable(QString::number(*duration)));

        // Twelve instants land on more kinds of pictures than four, the last one near the end.
        for (const int count : { 4, 12 }) {
            QList<int> expected;
            for (const double time : VideoFrames::instants(*duration, count))
                expected.append(int(std::floor(time * rate + 1e-6)));
            QCOMPARE(frameNumbers(FrameExtractor::extractFrames(fsPath(path), count)), expected);
        }
    }

    // Disposable pictures are skipped on the way to an instant, and nothing after it is decoded. Past the
    // deadline a clip simply has no frames.
    void decodesLessThanItReads()
    {
        const QString path = m_dir.filePath(u"skip.mp4"_s);
        QVERIFY(MediaFixtures::makeVideo(path, numberedSource(),
            options(u"-c:v libx264 -frames:v %1 -x264-params "
                    u"keyint=47:min-keyint=47:scenecut=0:bframes=3:b-adapt=0:b-pyramid=none"_s.arg(
                        NumberedFrames))));
        VideoFrames::Stats stats;
        const QByteArrayList frames
            = VideoFrames::extract(fsPath(path), 4, VideoFrames::DefaultBudget, &stats, 1);
        QCOMPARE(frames.size(), 4);
        QCOMPARE(stats.instantsFound, 4);
        QVERIFY2(stats.framesDecoded < stats.packetsToInstants,
            qPrintable(u"%1 decoded for %2"_s.arg(stats.framesDecoded).arg(stats.packetsToInstants)));
        QCOMPARE(frameNumber(frames[3]), 37);
        // The count is clamped to 1..12.
        QCOMPARE(frameNumbers(FrameExtractor::extractFrames(fsPath(path), 0)), QList<int> { 23 });
        QCOMPARE(frameNumbers(FrameExtractor::extractFrames(fsPath(path), 20)),
            QList<int>({ 3, 7, 10, 14, 18, 21, 25, 28, 32, 36, 39, 43 }));
        QVERIFY(VideoFrames::extract(fsPath(path), 4, std::chrono::milliseconds(0)).isEmpty());
    }

    // A quadrant test card: red top-left, blue elsewhere. Where the red ends up tells the turn; for
    // quarter turns, FFmpeg's own program (which turns by the same matrix) is the reference.
    void displayMatrix_data()
    {
        QTest::addColumn<double>("angle");
        QTest::addColumn<bool>("mirror");
        QTest::addColumn<QSize>("size");
        QTest::newRow("as recorded") << 0.0 << false << QSize(320, 180);
        QTest::newRow("quarter turn") << 90.0 << false << QSize(180, 320);
        QTest::newRow("upside down") << 180.0 << false << QSize(320, 180);
        QTest::newRow("three quarter turn") << 270.0 << false << QSize(180, 320);
        QTest::newRow("mirrored") << 0.0 << true << QSize(320, 180);
    }

    void displayMatrix()
    {
        QFETCH(double, angle);
        QFETCH(bool, mirror);
        QFETCH(QSize, size);
        const QString card = m_dir.filePath(u"card.mp4"_s);
        if (!QFile::exists(card))
            QVERIFY(MediaFixtures::makeVideo(card,
                u"color=c=blue:s=320x180:r=10,drawbox=x=0:y=0:w=160:h=90:color=red:t=fill"_s,
                options(u"-c:v libx264 -pix_fmt yuv420p -frames:v 10"_s)));
        const QString turned = m_dir.filePath(u"turned-%1-%2.mp4"_s.arg(angle).arg(mirror));
        QVERIFY(remuxWithMatrix(card, turned, angle, mirror));

        QPointF redCorner(1, 0); // a mirror moves the red square to the right
        if (!mirror) {
            const QString reference = turned + u".png"_s;
            QVERIFY(MediaFixtures::run(u"ffmpeg"_s,
                { u"-loglevel"_s, u"error"_s, u"-y"_s, u"-i"_s, turned, u"-frames:v"_s, u"1"_s, reference }));
            const PictureProbe expected = PictureProbe::decode(MediaFixtures::readAll(reference));
            QCOMPARE(QSize(expected.width, expected.height), size);
            redCorner = expected.isRed(0.6, 0.1, 0.9, 0.4) ? QPointF(1, 0)
                : expected.isRed(0.6, 0.6, 0.9, 0.9)       ? QPointF(1, 1)
                : expected.isRed(0.1, 0.6, 0.4, 0.9)       ? QPointF(0, 1)
                                                           : QPointF(0, 0);
        }

        const QByteArrayList frames = FrameExtractor::extractFrames(fsPath(turned), 1);
        QCOMPARE(frames.size(), 1);
        const PictureProbe probe = PictureProbe::decode(frames.front());
        QCOMPARE(QSize(probe.width, probe.height), size);
        const double x = redCorner.x() * 0.5, y = redCorner.y() * 0.5;
        QVERIFY(probe.isRed(x + 0.1, y + 0.1, x + 0.4, y + 0.4));
        QVERIFY(!probe.isRed(0.6 - x, 0.6 - y, 0.9 - x, 0.9 - y));
    }

    void fitsTheBox_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<double>("counterclockwise");
        QTest::addColumn<QSize>("expected");
        QTest::newRow("full HD") << u"testsrc2=s=1920x1080:r=10"_s << 0.0 << QSize(640, 360);
        QTest::newRow("portrait phone") << u"testsrc2=s=1920x1080:r=10"_s << 90.0 << QSize(360, 640);
        QTest::newRow("small is not enlarged") << u"testsrc2=s=160x120:r=10"_s << 0.0 << QSize(160, 120);
        QTest::newRow("anamorphic PAL")
            << u"testsrc2=s=720x576:r=10,setsar=16/11"_s << 0.0 << QSize(640, 352);
    }

    void fitsTheBox()
    {
        QFETCH(QString, source);
        QFETCH(double, counterclockwise);
        QFETCH(QSize, expected);
        const QString plain = m_dir.filePath(
            u"box-%1.mp4"_s.arg(QString::fromLatin1(QTest::currentDataTag())).replace(u' ', u'-'));
        QVERIFY(MediaFixtures::makeVideo(
            plain, source, options(u"-c:v libx264 -preset ultrafast -pix_fmt yuv420p -frames:v 5"_s)));
        QString path = plain;
        if (counterclockwise != 0) {
            path = plain + u".turned.mp4"_s;
            QVERIFY(remuxWithMatrix(plain, path, counterclockwise, false));
        }
        const QByteArrayList frames = FrameExtractor::extractFrames(fsPath(path), 2);
        QCOMPARE(frames.size(), 2);
        const PictureProbe probe = PictureProbe::decode(frames.front());
        QCOMPARE(QSize(probe.width, probe.height), expected);
    }

    // Nothing here may crash, hang or report frames, except pictures that are really there.
    void unusableInput_data()
    {
        QTest::addColumn<QByteArray>("content"); // or how to make it
        QByteArray noise;
        for (int i = 0; i < 100'000; ++i)
            noise.append(char((i * 7919) ^ (i >> 3)));
        QTest::newRow("zero bytes") << QByteArray();
        QTest::newRow("random bytes") << noise;
        QTest::newRow("truncated mp4") << QByteArray("truncated");
        QTest::newRow("index promising what was cut off") << QByteArray("lying");
        QTest::newRow("index listing frames it does not store") << QByteArray("dv");
        QTest::newRow("audio only") << QByteArray("audio");
        QTest::newRow("photo named mp4") << QByteArray("jpeg");
        QTest::newRow("playlist named mp4")
            << QByteArray("#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10,\n/dev/zero\n#EXT-X-ENDLIST\n");
        for (const char* special : { "fifo", "device", "folder", "missing" })
            QTest::newRow(special) << QByteArray(special);
    }

    void unusableInput()
    {
        QFETCH(QByteArray, content);
        const QString path
            = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-') + u".mp4"_s);
        if (content == "truncated" || content == "lying") {
            // The end of the pictures cut off; with the index in front, it still promises them.
            const QString whole = path + u".whole.mp4"_s;
            QVERIFY(MediaFixtures::makeVideo(whole, numberedSource(),
                options(u"-c:v libx264 -frames:v 30 -movflags "_s + (content == "lying" ? u'+' : u'-')
                    + u"faststart"_s)));
            const QByteArray data = MediaFixtures::readAll(whole);
            const qsizetype media = data.indexOf("mdat");
            content = data.left(content == "lying" ? media + (data.size() - media) * 3 / 4 : data.size() / 2);
        } else if (content == "dv") {
            // A video editor's DV export: one frame stored, ninety in the AVI headers.
            QVERIFY(MediaFixtures::makeVideo(path + u".avi"_s, numberedSource(25),
                options(u"-s 720x576 -c:v dvvideo -pix_fmt yuv420p -frames:v 1"_s)));
            content = MediaFixtures::readAll(path + u".avi"_s);
            for (const auto& [chunk, offset] : { std::pair("avih", 24), std::pair("strh", 40) }) {
                const qsizetype at = content.indexOf(chunk);
                QVERIFY(at >= 0);
                qToLittleEndian<quint32>(90, content.data() + at + offset);
            }
        } else if (content == "audio") {
            QVERIFY(
                MediaFixtures::makeVideo(path, u"sine=frequency=440:duration=2"_s, { u"-c:a"_s, u"aac"_s }));
        } else if (content == "jpeg") {
            QVERIFY(MediaFixtures::makeJpeg(path + u".jpg"_s));
            content = MediaFixtures::readAll(path + u".jpg"_s);
        }
        if (content != "audio")
            QVERIFY(MediaFixtures::place(path, content));
        const QByteArrayList frames = FrameExtractor::extractFrames(fsPath(path), 4);
        if (QTest::currentDataTag() == QByteArray("index promising what was cut off")) {
            // Pictures 6, 12, 18, 24 are asked for; only those still there come back.
            QVERIFY(!frames.isEmpty() && frames.size() < 4);
            QCOMPARE(frameNumbers(frames), QList<int>({ 6, 12, 18 }).first(frames.size()));
            return;
        }
        if (QTest::currentDataTag() == QByteArray("index listing frames it does not store")) {
            QCOMPARE(FrameExtractor::durationSeconds(fsPath(path)).value_or(0), 3.6);
            QCOMPARE(frameNumbers(frames), QList<int> { 0 }); // none of the four: the first one there
            return;
        }
        QVERIFY(frames.isEmpty());
        QVERIFY(!FrameExtractor::durationSeconds(fsPath(path)));
    }

    // A stream without any container timestamps still gives pictures (or none), never a crash.
    void rawStreamWithoutTimestamps()
    {
        const QString path = m_dir.filePath(u"raw-stream.mp4"_s);
        QVERIFY(MediaFixtures::makeVideo(
            path, numberedSource(), options(u"-c:v libx264 -frames:v 20 -f h264"_s)));
        const QByteArrayList frames = FrameExtractor::extractFrames(fsPath(path), 3);
        QVERIFY(frames.size() <= 3);
        for (const QByteArray& frame : frames)
            QVERIFY(PictureProbe::decode(frame).isValid());
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestVideoFrames)
#include "TestVideoFrames.moc"

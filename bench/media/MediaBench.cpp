// SPDX-License-Identifier: GPL-3.0-or-later
// Frames, photos and RAW previews against the tools a user would otherwise run: Debian's ffmpeg program
// (once per frame, input seeking), vipsthumbnail and ImageMagick's convert. Makes its own input media,
// runs each contender three times and prints the median times and their ratios. Each input is also
// prepared as an analysis prepares it, in this process and through the decoder's worker processes,
// which should cost at most a tenth more.

#include "decoder/DecoderPool.h"
#include "media/FrameExtractor.h"
#include "media/VideoFrames.h"
#include "support/MediaFixtures.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

constexpr int Repeats = 3;
constexpr int PoolRepeats = 5;
constexpr double PoolTarget = 1.10;

double medianSeconds(const std::function<bool()>& run, int repeats = Repeats)
{
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        QElapsedTimer timer;
        timer.start();
        if (!run())
            return -1;
        times.push_back(double(timer.nsecsElapsed()) / 1e9);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

std::filesystem::path fsPath(const QString& path)
{
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

void row(const char* what, double ours, double theirs, const char* tool)
{
    std::printf("  %-34s Velmora %7.3f s   %-22s %7.3f s   ratio %5.2f\n", what, ours, tool, theirs,
        theirs > 0 ? ours / theirs : 0.0);
}

bool make(const QString& path, const QString& source, const QStringList& arguments)
{
    std::printf("  making %s ...\n", qPrintable(QFileInfo(path).fileName()));
    std::fflush(stdout);
    return MediaFixtures::makeVideo(path, source, arguments);
}

// The same request in this process and through the workers, each warmed up once first.
void benchPool(const QString& name, const QString& path, MediaKind kind)
{
    static DecoderPool local([] {
        DecoderPool::Options options;
        options.decodeHere = DecodeJobs::decode;
        options.dateHere = DecodeJobs::captureDate;
        return options;
    }());
    static DecoderPool workers;
    if (!workers.isIsolated()) {
        std::printf("  %-34s no velmora-decoder found\n", qPrintable(name));
        return;
    }
    const DecodeRequest request { fsPath(path), kind, 4, 1280, 0.8, false };
    auto timed = [&](DecoderPool& pool) {
        if (pool.decode(request).frames.isEmpty())
            return -1.0;
        return medianSeconds([&] { return !pool.decode(request).frames.isEmpty(); }, PoolRepeats);
    };
    const double here = timed(local);
    const double there = timed(workers);
    const double ratio = here > 0 ? there / here : 0.0;
    std::printf("  %-34s in process %7.3f s   worker pool %7.3f s   ratio %5.2f %s\n",
        qPrintable(name + u", prepared"_s), here, there, ratio, ratio <= PoolTarget ? "" : "(over 1.10)");
}

void benchClip(const QString& name, const QString& path)
{
    const auto duration = FrameExtractor::durationSeconds(fsPath(path));
    if (!duration) {
        std::printf("  %s: no duration\n", qPrintable(name));
        return;
    }
    const std::vector<double> instants = VideoFrames::instants(*duration, 4);
    VideoFrames::Stats stats;
    int frames = 0;
    const double ours = medianSeconds([&] {
        stats = {};
        frames = int(VideoFrames::extract(fsPath(path), 4, VideoFrames::DefaultBudget, &stats).size());
        return frames == 4;
    });
    const QString out = path + u".jpg"_s;
    const double ffmpeg = medianSeconds([&] {
        for (double t : instants) {
            if (!MediaFixtures::run(u"ffmpeg"_s,
                    { u"-v"_s, u"error"_s, u"-y"_s, u"-ss"_s, QString::number(t, 'f', 4), u"-i"_s, path,
                        u"-frames:v"_s, u"1"_s, u"-vf"_s,
                        u"scale=640:640:force_original_aspect_ratio=decrease"_s, u"-q:v"_s, u"4"_s, out }))
                return false;
        }
        return true;
    });
    row(qPrintable(name + u", 4 frames"_s), ours, ffmpeg, "ffmpeg -ss, 4 runs");
    std::printf("  %-34s decoded %d pictures for %d packets from key frames to instants (%d of 4 frames)\n",
        "", stats.framesDecoded, stats.packetsToInstants, frames);
    benchPool(name, path, MediaKind::Video);
}

void benchPhoto(const QString& name, const QString& path, bool withConvert)
{
    const double ours
        = medianSeconds([&] { return !FrameExtractor::extractImage(fsPath(path), 1280).isEmpty(); });
    const QString out = path + u".small.jpg"_s;
    const double vips = medianSeconds([&] {
        return MediaFixtures::run(
            u"vipsthumbnail"_s, { path, u"-s"_s, u"1280"_s, u"-o"_s, out + u"[Q=82]"_s });
    });
    row(qPrintable(name), ours, vips, "vipsthumbnail");
    if (withConvert) {
        const double magick = medianSeconds([&] {
            return MediaFixtures::run(
                u"convert"_s, { path, u"-resize"_s, u"1280x1280"_s, u"-quality"_s, u"82"_s, out });
        });
        row(qPrintable(name), ours, magick, "convert -resize");
    }
    benchPool(name, path, MediaKind::Photo);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    for (const QString& tool : { u"ffmpeg"_s, u"vips"_s, u"vipsthumbnail"_s, u"convert"_s }) {
        if (!MediaFixtures::hasTool(tool)) {
            std::printf("bench_media: %s is missing\n", qPrintable(tool));
            return 1;
        }
    }
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    // Textured pictures, so that decoding costs what camera footage costs. The clip lengths put the four
    // instants D·i/5 between key frames (0.6, 1.2, 1.8, 0.4 s and 0.6, 0.2, 0.8, 0.4 s after one).
    const QString texture = u",noise=alls=10:allf=t+u"_s;

    std::printf("Video frames (4 exact frames each)\n");
    const QString hd = dir.filePath(u"1080p-h264.mp4"_s);
    if (make(hd, u"testsrc2=s=1920x1080:r=30"_s + texture,
            { u"-t"_s, u"23"_s, u"-c:v"_s, u"libx264"_s, u"-preset"_s, u"veryfast"_s, u"-crf"_s, u"20"_s,
                u"-g"_s, u"60"_s, u"-keyint_min"_s, u"60"_s, u"-sc_threshold"_s, u"0"_s, u"-bf"_s, u"3"_s,
                u"-pix_fmt"_s, u"yuv420p"_s }))
        benchClip(u"1080p H.264, 2 s GOP, B-frames"_s, hd);
    const QString uhd = dir.filePath(u"2160p-hevc.mp4"_s);
    if (make(uhd, u"testsrc2=s=3840x2160:r=30"_s + texture,
            { u"-t"_s, u"8"_s, u"-c:v"_s, u"libx265"_s, u"-preset"_s, u"ultrafast"_s, u"-crf"_s, u"24"_s,
                u"-x265-params"_s, u"keyint=30:min-keyint=30:scenecut=0:bframes=4:log-level=error"_s,
                u"-tag:v"_s, u"hvc1"_s, u"-pix_fmt"_s, u"yuv420p"_s }))
        benchClip(u"4K HEVC, 1 s GOP"_s, uhd);

    std::printf("\nPhotos (to 1280 pixels, quality 82)\n");
    const QString source = dir.filePath(u"24mp.png"_s);
    const QString jpeg = dir.filePath(u"24mp.jpg"_s);
    if (make(source, u"testsrc2=s=6000x4000"_s + texture, { u"-frames:v"_s, u"1"_s })
        && MediaFixtures::run(u"vips"_s, { u"copy"_s, source, jpeg + u"[Q=92]"_s }))
        benchPhoto(u"24 MP JPEG"_s, jpeg, true);
    const QString phone = dir.filePath(u"12mp.png"_s);
    if (make(phone, u"testsrc2=s=4032x3024"_s + texture, { u"-frames:v"_s, u"1"_s })) {
        for (const QString& extension : { u"heic"_s, u"avif"_s }) {
            const QString path = dir.filePath(u"12mp."_s + extension);
            if (MediaFixtures::run(u"vips"_s, { u"copy"_s, phone, path + u"[Q=80]"_s }))
                benchPhoto(u"12 MP "_s + extension.toUpper(), path, false);
        }
    }

    std::printf("\nCamera RAW with an embedded full-size preview (24 MP)\n");
    const QString raw = dir.filePath(u"24mp.dng"_s);
    QFile preview(jpeg);
    if (preview.open(QIODevice::ReadOnly)
        && MediaFixtures::makeDng(raw, 6000, 4000, 1500, preview.readAll(), 6000, 4000, 1)) {
        const double ours
            = medianSeconds([&] { return !FrameExtractor::extractImage(fsPath(raw), 1280).isEmpty(); });
        std::printf("  %-34s Velmora %7.3f s   (goal: under 0.3 s)\n", "DNG preview to 1280", ours);
        benchPool(u"DNG preview"_s, raw, MediaKind::Photo);
    }
    return 0;
}

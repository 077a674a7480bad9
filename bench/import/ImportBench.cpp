// SPDX-License-Identifier: GPL-3.0-or-later
// Import benchmark: Velmora's import (capture dates and folder places included) against one
// `exiftool -fast` process reading the same dates, on a folder it generates itself.
//
//   bench_import [--photos N] [--clips N] [--keep DIR]
//
// Targets: Velmora needs at most half of exiftool's time, and ten times the files cost at most
// twelve times as much; with a catalogue, new files cost at most 1.2 times the import without it and
// known files no more than it. Exit status 1 when a target is missed.

#include "core/AppModel.h"
#include "core/CatalogueLink.h"
#include "support/ImportWait.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <algorithm>
#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

bool runTool(const QString& program, const QStringList& arguments, QByteArray* output = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(-1) || process.exitCode() != 0) {
        std::fprintf(
            stderr, "%s failed: %s\n", qPrintable(program), process.readAllStandardError().constData());
        return false;
    }
    if (output)
        *output = process.readAllStandardOutput();
    return true;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// Writes `count` copies of a template, each with its own date patched over `marker` (same length),
// spread over folders of 100 files as a camera would.
bool fan(const QString& dir,
    const QString& prefix,
    const QString& extension,
    const QByteArray& templ,
    const QByteArray& marker,
    int count,
    const std::function<QByteArray(int)>& dateFor)
{
    const qsizetype at = templ.indexOf(marker);
    if (at < 0)
        return false;
    for (int i = 0; i < count; ++i) {
        QByteArray data = templ;
        data.replace(at, marker.size(), dateFor(i));
        const QString folder = dir + u"/%1CANON"_s.arg(100 + i / 100);
        if (i % 100 == 0)
            QDir().mkpath(folder);
        if (!writeAll(folder + u"/%1_%2.%3"_s.arg(prefix).arg(i, 5, 10, QChar(u'0')).arg(extension), data))
            return false;
    }
    return true;
}

bool generate(const QString& dir, int photos, int clips, const QString& scratch)
{
    const QString jpeg = scratch + u"/t.jpg"_s;
    const QString clip = scratch + u"/t.mp4"_s;
    if (!QFile::exists(jpeg)) {
        if (!runTool(u"ffmpeg"_s,
                { u"-loglevel"_s, u"error"_s, u"-y"_s, u"-f"_s, u"lavfi"_s, u"-i"_s,
                    u"testsrc=size=320x240"_s, u"-frames:v"_s, u"1"_s, jpeg })
            || !runTool(
                u"exiv2"_s, { u"-M"_s, u"set Exif.Photo.DateTimeOriginal 2026:09:18 14:03:12"_s, jpeg })
            || !runTool(u"ffmpeg"_s,
                { u"-loglevel"_s, u"error"_s, u"-y"_s, u"-f"_s, u"lavfi"_s, u"-i"_s,
                    u"testsrc=size=320x240:rate=25"_s, u"-t"_s, u"0.4"_s, u"-c:v"_s, u"libx264"_s,
                    u"-metadata"_s, u"com.apple.quicktime.creationdate=2026-09-18T14:03:12+0800"_s,
                    u"-movflags"_s, u"use_metadata_tags"_s, clip }))
            return false;
    }
    // Each file its own moment, so no two files are alike, as in a camera's folders.
    auto momentOf = [](int i) {
        return QDateTime(QDate(2026, 1, 1), QTime(0, 0), QTimeZone::utc()).addSecs(qint64(i) * 3011);
    };
    auto exifDate = [&](int i) { return momentOf(i).toString(u"yyyy:MM:dd HH:mm:ss"_s).toLatin1(); };
    auto isoDate
        = [&](int i) { return (momentOf(i).toString(u"yyyy-MM-dd'T'HH:mm:ss"_s) + u"+0800"_s).toLatin1(); };
    return fan(dir + u"/photos"_s, u"IMG"_s, u"jpg"_s, readAll(jpeg), "2026:09:18 14:03:12", photos, exifDate)
        && fan(
            dir + u"/clips"_s, u"MVI"_s, u"mp4"_s, readAll(clip), "2026-09-18T14:03:12+0800", clips, isoDate);
}

// Best of `runs` imports of dir into a fresh model; returns seconds and the item count.
double timeVelmora(const QString& dir, const QString& settings, int runs, qsizetype* count)
{
    double best = 1e9;
    for (int r = 0; r < runs; ++r) {
        AppModel model(settings);
        model.settings().mediaTargetRaw = u"both"_s;
        QElapsedTimer timer;
        timer.start();
        importAndWait(model, { std::filesystem::path(QFile::encodeName(dir).toStdString()) });
        best = std::min(best, timer.nsecsElapsed() / 1e9);
        *count = model.items().size();
    }
    return best;
}

// One import of dir into a model that keeps its analyses in catalogue. With markAnalysed, every item is
// then stamped as analysed and written, so that the next import finds them all known.
double timeWithCatalogue(
    const QString& dir, const QString& settings, const QString& catalogue, bool markAnalysed)
{
    AppModel model(settings, AppModel::Storage { QFile::encodeName(catalogue).toStdString(), false });
    model.settings().mediaTargetRaw = u"both"_s;
    QElapsedTimer timer;
    timer.start();
    importAndWait(model, { std::filesystem::path(QFile::encodeName(dir).toStdString()) });
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (markAnalysed) {
        const Catalogue::AnalysisKey key = CatalogueLink::keyOf(model.settings());
        for (const VideoItem& item : QList<VideoItem>(model.items())) {
            model.mutateItem(item.id, [&](VideoItem& it) {
                it.status = VideoItem::Status::Analyzed;
                it.analysisText = u"{\"content\":\"海边\",\"location\":\"\"}"_s;
                it.analysedWith = VideoItem::AnalysisStamp { key.engine, key.model, key.frameCount,
                    key.promptVersion, 900, QDateTime::currentDateTimeUtc() };
            });
        }
        QTest::qWait(500); // identities still being read come back
        model.catalogue()->flush(std::chrono::minutes(5));
    }
    return seconds;
}

double timeExiftool(const QString& dir, qsizetype* lines)
{
    QElapsedTimer timer;
    timer.start();
    QByteArray output;
    if (!runTool(u"exiftool"_s,
            { u"-fast"_s, u"-q"_s, u"-T"_s, u"-DateTimeOriginal"_s, u"-CreateDate"_s, u"-CreationDate"_s,
                u"-r"_s, dir },
            &output))
        return -1;
    const double seconds = timer.nsecsElapsed() / 1e9;
    *lines = output.count('\n');
    return seconds;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    int photos = 10000;
    int clips = 1000;
    QString keep;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == u"--photos")
            photos = args[i + 1].toInt();
        else if (args[i] == u"--clips")
            clips = args[i + 1].toInt();
        else if (args[i] == u"--keep")
            keep = args[i + 1];
    }
    for (const char* tool : { "ffmpeg", "exiv2", "exiftool" }) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) {
            std::fprintf(stderr, "bench_import needs %s\n", tool);
            return 2;
        }
    }

    QTemporaryDir temp;
    const QString root = keep.isEmpty() ? temp.path() : keep;
    const QString large = root + u"/large"_s;
    const QString small = root + u"/small"_s;
    const QString settings = root + u"/settings.json"_s;
    QDir().mkpath(root);
    if (!QDir(large).exists()) {
        std::printf("generating %d photos and %d clips (and a tenth of that)...\n", photos, clips);
        std::fflush(stdout);
        if (!generate(large, photos, clips, root) || !generate(small, photos / 10, clips / 10, root))
            return 2;
    }

    qsizetype smallCount = 0;
    qsizetype largeCount = 0;
    qsizetype exifLines = 0;
    timeVelmora(large, settings, 1, &largeCount); // warm the page cache for both tools
    const double velmoraSmall = timeVelmora(small, settings, 5, &smallCount);
    const double velmoraLarge = timeVelmora(large, settings, 3, &largeCount);
    const double exiftool = timeExiftool(large, &exifLines);
    if (exiftool < 0)
        return 2;

    // The same import keeping analyses: every file new to the catalogue, then every file known. Best of
    // three each, as the import without it.
    const QString catalogue = root + u"/catalogue.sqlite"_s;
    double fresh = 1e9;
    for (int r = 0; r < 3; ++r) {
        for (const QString& suffix : { u""_s, u"-wal"_s, u"-shm"_s })
            QFile::remove(catalogue + suffix);
        fresh = std::min(fresh, timeWithCatalogue(large, settings, catalogue, r == 2));
    }
    double known = 1e9;
    for (int r = 0; r < 3; ++r)
        known = std::min(known, timeWithCatalogue(large, settings, catalogue, false));
    std::printf("with the catalogue, new     %8.3f s  %6.2fx of the import without it  (target <= 1.2)\n",
        fresh, fresh / velmoraLarge);
    std::printf("with the catalogue, known   %8.3f s  %6.2fx of the import without it  (target <= 1.0)\n",
        known, known / velmoraLarge);

    // Start-up with that list saved: the model as the window builds it before it shows the rows.
    const std::filesystem::path stored = QFile::encodeName(catalogue).toStdString();
    {
        AppModel window(settings, AppModel::Storage { stored, true });
        window.settings().mediaTargetRaw = u"both"_s;
        importAndWait(window, { std::filesystem::path(QFile::encodeName(large).toStdString()) });
        window.catalogue()->flush(std::chrono::minutes(5));
    }
    QElapsedTimer startup;
    startup.start();
    const AppModel restored(settings, AppModel::Storage { stored, true });
    std::printf("start-up with %lld saved items %6.0f ms  (target <= 1500 to show every row)\n",
        static_cast<long long>(restored.items().size()), startup.nsecsElapsed() / 1e6);

    const double ratio = velmoraLarge / exiftool;
    const double scaling = velmoraLarge / velmoraSmall;
    std::printf("files                       %lld (velmora listed %lld, exiftool printed %lld lines)\n",
        static_cast<long long>(photos + clips), static_cast<long long>(largeCount),
        static_cast<long long>(exifLines));
    std::printf("velmora import              %8.3f s  %6.3f ms/file\n", velmoraLarge,
        1000 * velmoraLarge / double(largeCount));
    std::printf("exiftool -fast              %8.3f s  %6.3f ms/file\n", exiftool,
        1000 * exiftool / double(largeCount));
    std::printf("ratio velmora/exiftool      %8.3f    (target <= 0.5)\n", ratio);
    std::printf("velmora, a tenth the files  %8.3f s  (%lld files)\n", velmoraSmall,
        static_cast<long long>(smallCount));
    std::printf("scaling 10x files           %8.2f x  (target <= 12)\n", scaling);
    const bool met
        = ratio <= 0.5 && scaling <= 12 && fresh / velmoraLarge <= 1.2 && known / velmoraLarge <= 1.0;
    std::printf("%s\n", met ? "targets met" : "TARGET MISSED");
    return met ? 0 : 1;
}

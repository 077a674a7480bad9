// SPDX-License-Identifier: GPL-3.0-or-later
// Catalogue benchmark: the cost of recording finished items, against not recording them at all, on
// the interface thread (queueing) and on the writer thread (committing); the start-up reads of a full
// session; and the identity of large files.
//
//   bench_catalogue [--items N] [--files N]
//
// Targets: queueing an item never takes the interface thread more than 1 ms; the catalogue grows at
// most 8 KB per item with its thumbnail, measured once the log is checkpointed into the file; a file's
// identity takes at most 5 ms whatever its size. Exit status 1 when a target is missed.

#include "catalogue/Database.h"
#include "catalogue/FileIdentity.h"
#include "catalogue/Reader.h"
#include "catalogue/SampleItems.h"
#include "catalogue/Writer.h"
#include "common/VideoItem.h"
#include "media/FrameExtractor.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

// Stands in for a row thumbnail when ffmpeg cannot make pictures.
constexpr qsizetype ThumbnailBytes = 6000;

double msSince(const QElapsedTimer& timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

// Sparse files of 4 GB each with data at both ends, as the hash reads them.
bool makeLargeFiles(const fs::path& dir, int count)
{
    const QByteArray edge(64 * 1024, 'x');
    for (int i = 0; i < count; ++i) {
        const fs::path file = dir / ("clip" + std::to_string(i) + ".mov");
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT, 0600);
        const qint64 size = 4LL * 1024 * 1024 * 1024 + i;
        const bool written = fd >= 0 && ::pwrite(fd, edge.constData(), edge.size(), 0) == edge.size()
            && ::pwrite(fd, edge.constData(), edge.size(), size - edge.size()) == edge.size();
        if (fd >= 0)
            ::close(fd);
        if (!written)
            return false;
    }
    return true;
}

// Row thumbnails as the program makes them (FrameExtractor::thumbnail of a 640-pixel frame), from
// detailed test pictures with film grain, as busy as a photo full of detail. Empty when ffmpeg is
// missing.
QList<QByteArray> realThumbnails(const QString& dir)
{
    QList<QByteArray> thumbnails;
    int set = 0;
    for (const QString& source : { u"testsrc2"_s, u"mandelbrot"_s, u"cellauto"_s }) {
        const QString prefix = dir + u"/frame-"_s + QString::number(set++) + u'-';
        QProcess ffmpeg;
        ffmpeg.start(u"ffmpeg"_s,
            { u"-loglevel"_s, u"error"_s, u"-y"_s, u"-f"_s, u"lavfi"_s, u"-i"_s,
                source + u"=size=640x480:rate=1,noise=alls=16:allf=t"_s, u"-frames:v"_s, u"8"_s, u"-q:v"_s,
                u"5"_s, prefix + u"%02d.jpg"_s });
        if (!ffmpeg.waitForFinished(60000) || ffmpeg.exitCode() != 0)
            return {};
        for (int i = 1; i <= 8; ++i) {
            QFile frame(prefix + QString::number(i).rightJustified(2, u'0') + u".jpg"_s);
            if (frame.open(QIODevice::ReadOnly))
                thumbnails << FrameExtractor::thumbnail(frame.readAll(), VideoItem::ThumbnailEdge);
        }
    }
    thumbnails.removeAll(QByteArray());
    return thumbnails;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    int items = 10000;
    int files = 1000;
    const QStringList arguments = app.arguments();
    for (qsizetype i = 1; i + 1 < arguments.size(); i += 2) {
        if (arguments[i] == u"--items")
            items = arguments[i + 1].toInt();
        else if (arguments[i] == u"--files")
            files = arguments[i + 1].toInt();
    }
    QTemporaryDir dir;
    const fs::path base = dir.path().toStdString();
    const fs::path database = base / "catalogue.sqlite";
    if (!Catalogue::prepare(database).isReady()) {
        std::fprintf(stderr, "cannot make a catalogue in %s\n", base.c_str());
        return 2;
    }
    bool isMet = true;
    const QList<QByteArray> thumbnails = realThumbnails(dir.path());
    qsizetype thumbnailTotal = 0;
    for (const QByteArray& thumbnail : thumbnails)
        thumbnailTotal += thumbnail.size();
    const auto itemAt = [&](int i) {
        Catalogue::FinishedItem item = sampleItem(i, thumbnails.isEmpty() ? ThumbnailBytes : 0);
        if (!thumbnails.isEmpty())
            item.thumbnail = thumbnails.at(i % thumbnails.size());
        return item;
    };

    // Doing nothing: the items are made and kept, as the run does anyway. The first pass only fills
    // the list, so that both timed passes replace items the same way.
    std::vector<Catalogue::FinishedItem> kept;
    kept.resize(std::size_t(items));
    for (int i = 0; i < items; ++i)
        kept[std::size_t(i)] = itemAt(i);
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < items; ++i)
        kept[std::size_t(i)] = itemAt(i);
    const double nothingMs = msSince(timer);

    // Recording: the same, each item also handed to the writer.
    qint64 slowestNs = 0;
    Catalogue::Writer writer(database);
    timer.restart();
    QElapsedTimer call;
    for (int i = 0; i < items; ++i) {
        Catalogue::FinishedItem item = itemAt(i);
        call.start();
        writer.saveFinished(item);
        slowestNs = qMax(slowestNs, call.nsecsElapsed());
        kept[std::size_t(i)] = std::move(item);
    }
    const double queuedMs = msSince(timer);
    if (!writer.flush(600s))
        return 2;
    const double committedMs = msSince(timer);
    std::printf("recording %d finished items, per item:\n", items);
    std::printf(
        "  interface thread: %.2f µs without the catalogue, %.2f µs with it (%.2fx), slowest queueing "
        "%.3f ms\n",
        nothingMs * 1000 / items, queuedMs * 1000 / items, queuedMs / nothingMs, double(slowestNs) / 1e6);
    std::printf("  writer thread: %.3f ms per committed item (one transaction each, synchronous)\n",
        committedMs / items);
    isMet &= slowestNs < 1'000'000;

    // On disk once the log is folded into the file, as after the last connection closes.
    Sqlite::Connection checkpoint
        = Sqlite::Connection::open(QByteArray::fromStdString(database.native()), SQLITE_OPEN_READWRITE, 5000);
    if (!checkpoint.exec("PRAGMA wal_checkpoint(TRUNCATE)"))
        return 2;
    checkpoint = Sqlite::Connection();
    const fs::path wal = database.native() + "-wal";
    const double bytesPerItem
        = double(fs::file_size(database) + (fs::exists(wal) ? fs::file_size(wal) : 0)) / items;
    const double thumbnailMean
        = thumbnails.isEmpty() ? ThumbnailBytes : double(thumbnailTotal) / thumbnails.size();
    std::printf(
        "  size after a checkpoint: %.0f bytes per item with thumbnails of %.0f bytes on average (%s)\n",
        bytesPerItem, thumbnailMean,
        thumbnails.isEmpty() ? "stand-ins: no ffmpeg" : "made as the program makes them");
    isMet &= bytesPerItem <= 8 * 1024;

    // Start-up: the check of the whole file, then the session and its thumbnails.
    timer.restart();
    if (!Catalogue::prepare(database).isReady())
        return 2;
    const double prepareMs = msSince(timer);
    timer.restart();
    Catalogue::Reader restore(database);
    const std::vector<Catalogue::SessionEntry> session = restore.session();
    qsizetype thumbnailBytes = 0;
    for (const Catalogue::SessionEntry& entry : session)
        thumbnailBytes += restore.thumbnail(*entry.identity).size();
    std::printf("start-up with %zu stored items: %.0f ms to check and open, %.0f ms to read the session and "
                "%lld thumbnail bytes\n",
        session.size(), prepareMs, msSince(timer), static_cast<long long>(thumbnailBytes));

    // Identity of large files.
    const fs::path media = base / "media";
    fs::create_directory(media);
    if (!makeLargeFiles(media, files))
        return 2;
    timer.restart();
    int identified = 0;
    for (const auto& entry : fs::directory_iterator(media))
        identified += Catalogue::identityOf(entry.path()) ? 1 : 0;
    const double perFileMs = msSince(timer) / qMax(1, identified);
    std::printf("identity of %d files of 4 GB: %.3f ms per file\n", identified, perFileMs);
    isMet &= identified == files && perFileMs <= 5;

    std::printf(isMet ? "targets met\n" : "TARGET MISSED\n");
    return isMet ? 0 : 1;
}

// SPDX-License-Identifier: GPL-3.0-or-later
// Catalogue benchmark: the cost of recording finished items, against not recording them at all, on
// the interface thread (queueing) and on the writer thread (committing); the start-up reads of a full
// session; and the identity of large files.
//
//   bench_catalogue [--items N] [--files N]
//
// Targets: queueing an item never takes the interface thread more than 1 ms; the catalogue grows at
// most 8 KB per item with its thumbnail; a file's identity takes at most 5 ms whatever its size.
// Exit status 1 when a target is missed.

#include "catalogue/Database.h"
#include "catalogue/FileIdentity.h"
#include "catalogue/Reader.h"
#include "catalogue/SampleItems.h"
#include "catalogue/Writer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A typical row thumbnail: a 192-pixel JPEG.
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

    // Doing nothing: the items are made and kept, as the run does anyway. The first pass only fills
    // the list, so that both timed passes replace items the same way.
    std::vector<Catalogue::FinishedItem> kept;
    kept.resize(std::size_t(items));
    for (int i = 0; i < items; ++i)
        kept[std::size_t(i)] = sampleItem(i, ThumbnailBytes);
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < items; ++i)
        kept[std::size_t(i)] = sampleItem(i, ThumbnailBytes);
    const double nothingMs = msSince(timer);

    // Recording: the same, each item also handed to the writer.
    qint64 slowestNs = 0;
    Catalogue::Writer writer(database);
    timer.restart();
    QElapsedTimer call;
    for (int i = 0; i < items; ++i) {
        Catalogue::FinishedItem item = sampleItem(i, ThumbnailBytes);
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

    Catalogue::Reader reader(database);
    const double bytesPerItem = double(reader.usage().bytes) / items;
    std::printf("  size: %.0f bytes per item with a %lld-byte thumbnail\n", bytesPerItem,
        static_cast<long long>(ThumbnailBytes));
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

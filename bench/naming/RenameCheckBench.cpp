// SPDX-License-Identifier: GPL-3.0-or-later
// Rename-check benchmark: the check before a batch over a list of many files, on folders it makes
// itself (100 files each, every tenth name proposed twice, every twentieth file with a sidecar, every
// fiftieth name too long, some names already taken on disk). Nothing is renamed.
//
//   bench_rename_check [--items N]
//
// Target: 10,000 items within one second. Exit status 1 when it is missed or a file moved.

#include "naming/Renamer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <fstream>

using namespace Qt::StringLiterals;
namespace fs = std::filesystem;

namespace {

constexpr qint64 TargetMs = 1000;
constexpr int Runs = 5;

qsizetype countFiles(const fs::path& root)
{
    qsizetype n = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        n += entry.is_regular_file();
    return n;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const qsizetype index = args.indexOf(u"--items"_s);
    const int count = index >= 0 && index + 1 < args.size() ? args.at(index + 1).toInt() : 10000;
    QTemporaryDir dir;
    if (!dir.isValid() || count <= 0)
        return 2;
    const fs::path root = QFile::encodeName(dir.path()).toStdString();

    QList<VideoItem> items;
    items.reserve(count);
    for (int i = 0; i < count; ++i) {
        const fs::path folder = root / ("day-" + std::to_string(i / 100));
        fs::create_directories(folder);
        VideoItem item;
        item.id = QUuid::createUuid();
        item.url = folder / ("IMG_" + std::to_string(i) + ".MOV");
        std::ofstream(item.url).put('x');
        if (i % 20 == 0)
            std::ofstream(folder / ("IMG_" + std::to_string(i) + ".xmp")).put('x');
        item.status = VideoItem::Status::Analyzed;
        const int name = i % 10 == 1 ? i - 1 : i;
        item.proposedName = i % 50 == 7 ? QString(100, u'茶') : u"2026-02-08_茶楼_石桥流水 %1"_s.arg(name);
        if (i % 100 == 3) // a file on disk already has the name
            std::ofstream(folder / (u"2026-02-08_茶楼_石桥流水 %1.MOV"_s.arg(i).toStdString())).put('x');
        items.append(item);
    }
    const qsizetype filesBefore = countFiles(root);

    std::vector<qint64> times;
    RenamePlan::Plan plan;
    for (int run = 0; run < Runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        plan = Renamer::check(items);
        times.push_back(timer.elapsed());
    }
    std::sort(times.begin(), times.end());
    const qint64 median = times[times.size() / 2];
    const auto notPlain = std::count_if(
        plan.files.cbegin(), plan.files.cend(), [](const auto& file) { return !file.isPlain(); });
    const bool untouched = countFiles(root) == filesBefore
        && std::all_of(
            items.cbegin(), items.cend(), [](const VideoItem& item) { return fs::exists(item.url); });

    std::printf("rename check: %d items, %zu files in the plan, %lld to look at, %lld to rename\n", count,
        plan.files.size(), static_cast<long long>(notPlain), static_cast<long long>(plan.renameCount()));
    std::printf(
        "  median of %d runs: %lld ms (fastest %lld, slowest %lld); target %lld ms for 10,000 items\n", Runs,
        static_cast<long long>(median), static_cast<long long>(times.front()),
        static_cast<long long>(times.back()), static_cast<long long>(TargetMs));
    std::printf("  files on disk unchanged: %s\n", untouched ? "yes" : "NO");
    const qint64 allowed = TargetMs * std::max(count, 10000) / 10000;
    return median <= allowed && untouched ? 0 : 1;
}

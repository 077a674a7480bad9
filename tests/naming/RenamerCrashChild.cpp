// SPDX-License-Identifier: GPL-3.0-or-later
// Renames every file of a folder as one batch, sidecars with their files, for TestRenamerCrash. It
// prints "ready" just before the batch starts and, when told to, kills itself with SIGKILL at the n-th
// time a step is reached.
//   renamer_crash_child FOLDER STEP HIT HARDLINKS     (STEP -1: never; 100: before a sidecar's move)

#include "naming/Companions.h"
#include "naming/FileMoves.h"
#include "naming/Renamer.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace fs = std::filesystem;

int main(int argc, char* argv[])
{
    if (argc != 5)
        return 2;
    const fs::path folder = argv[1];
    const int step = std::atoi(argv[2]);
    const int hit = std::atoi(argv[3]);
    FileMoves::setForceHardLinks(std::atoi(argv[4]) != 0);

    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (!Companions::sidecarKey(entry.path().filename().native()))
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    const std::vector<Companions::Beside> beside = Companions::discover(files);

    // Three kinds of names: groups that clash, the name the previous file has just given up, and
    // names of their own.
    QList<VideoItem> items;
    for (std::size_t i = 0; i < files.size(); ++i) {
        VideoItem item;
        item.url = files[i];
        item.status = VideoItem::Status::Analyzed;
        item.sidecars = beside[i].sidecars;
        if (i % 3 == 0)
            item.proposedName = QStringLiteral("同名_%1").arg(i % 10);
        else if (i % 3 == 1)
            item.proposedName = QString::fromUtf8(files[i - 1].stem().native());
        else
            item.proposedName = QStringLiteral("新名_%1").arg(i);
        items.append(item);
    }

    int hits = 0;
    if (step >= 0) {
        FileMoves::setStepHook([&](FileMoves::Step reached, const fs::path& target) {
            const bool counts = step == 100
                ? reached == FileMoves::Step::BeforeMove && Companions::sidecarKey(target.filename().native())
                : int(reached) == step;
            if (counts && ++hits == hit)
                ::kill(::getpid(), SIGKILL);
        });
    }
    std::puts("ready");
    std::fflush(stdout);
    const auto log = Renamer::rename(items);
    std::printf("done %s\n", log ? log->c_str() : "-");
    return 0;
}

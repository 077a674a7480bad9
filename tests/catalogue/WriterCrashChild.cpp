// SPDX-License-Identifier: GPL-3.0-or-later
// Queues finished items on a catalogue writer and prints how many transactions are committed, one
// number a line, as the count grows; TestCatalogueWriter kills it with SIGKILL somewhere in between.
//   catalogue_writer_child DATABASE ITEMS

#include "SampleItems.h"
#include "catalogue/Database.h"
#include "catalogue/Writer.h"

#include <cstdio>
#include <cstdlib>
#include <thread>

int main(int argc, char* argv[])
{
    if (argc != 3)
        return 2;
    const std::filesystem::path database = argv[1];
    const int items = std::atoi(argv[2]);
    if (!Catalogue::prepare(database).isReady())
        return 1;
    Catalogue::Writer writer(database);
    for (int i = 0; i < items; ++i)
        writer.saveFinished(sampleItem(i));
    quint64 printed = 0;
    while (printed < quint64(items)) {
        const quint64 committed = writer.committedCount();
        if (committed != printed) {
            std::printf("%llu\n", static_cast<unsigned long long>(committed));
            std::fflush(stdout);
            printed = committed;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return 0;
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/CliOptions.h"
#include "cli/Commands.h"
#include "cli/Output.h"
#include "core/AppModel.h"
#include "naming/Messages.h"
#include "naming/RenameRecord.h"
#include "naming/Renamer.h"

#include <cstdio>

using namespace Qt::StringLiterals;

namespace Commands {

// The record of one rename batch as CSV on standard output: the log named, or the newest. The list of
// this process is empty, so capture time, content and place are known only to the window.
Command exportCsvCommand()
{
    return { u"export-csv"_s, 0, [](const CliOptions& options, AppModel& model, const Finish& finish) {
                std::optional<std::filesystem::path> log;
                if (!options.arguments.isEmpty())
                    log = Output::argumentPath(options.arguments.first());
                else
                    log = Renamer::latestLog();
                if (!log) {
                    Output::line(stderr, u"还没有重命名记录"_s);
                    finish(BadUsage);
                    return;
                }
                const auto csv = RenameRecord::csvOf(*log, model.items());
                if (!csv) {
                    Output::line(stderr, Renamer::Messages::unreadableLog(displayPath(*log)));
                    finish(BadUsage);
                    return;
                }
                std::fwrite(csv->constData(), 1, std::size_t(csv->size()), stdout);
                std::fflush(stdout);
                finish(Done);
            } };
}

} // namespace Commands

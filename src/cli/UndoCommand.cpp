// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/CliOptions.h"
#include "cli/Commands.h"
#include "cli/Output.h"
#include "core/AppModel.h"
#include "core/Messages.h"
#include "naming/Messages.h"
#include "naming/Renamer.h"

using namespace Qt::StringLiterals;

namespace Commands {

// Replays one undo log: the one named, or with --last (or nothing) this user's newest. Batches that
// were killed half-way are turned into logs first, so --last can undo them too.
Command undoCommand()
{
    return { u"undo"_s, 0, [](const CliOptions& options, AppModel&, const Finish& finish) {
                if (options.arguments.size() > 1 || (options.last && !options.arguments.isEmpty())) {
                    Output::line(stderr, u"velmora-cli: undo 只接受一个撤销记录文件，或 --last"_s);
                    finish(BadUsage);
                    return;
                }
                std::optional<std::filesystem::path> log;
                if (!options.arguments.isEmpty()) {
                    log = Output::argumentPath(options.arguments.first());
                } else {
                    Renamer::recoverInterrupted();
                    log = Renamer::latestLog();
                }

                Renamer::UndoResult result;
                QString status = ::Messages::NothingToUndo;
                int exitCode = Done;
                if (log) {
                    result = Renamer::undo(*log);
                    const QString path = displayPath(*log);
                    switch (result.outcome) {
                    case Renamer::UndoResult::Outcome::Replayed:
                        status = ::Messages::undone(result.restored);
                        if (result.skipped > 0) {
                            Output::line(stderr, Renamer::Messages::filesLeft(result.skipped));
                            exitCode = ItemFailed;
                        }
                        break;
                    case Renamer::UndoResult::Outcome::Unreadable:
                        status = Renamer::Messages::unreadableLog(path);
                        exitCode = BadUsage;
                        break;
                    case Renamer::UndoResult::Outcome::Malformed:
                        status = Renamer::Messages::malformedLog(path);
                        exitCode = BadUsage;
                        break;
                    case Renamer::UndoResult::Outcome::Busy:
                        status = Renamer::Messages::BatchStillRunning;
                        exitCode = ItemFailed;
                        break;
                    }
                }
                Output::line(stderr, status);
                if (options.json) {
                    Output::json({ { u"status"_s, status }, { u"restored"_s, result.restored } });
                } else {
                    // One line per file moved back: its old path, where it is now again.
                    for (const auto& move : result.moves)
                        Output::line(stdout, displayPath(move.original));
                }
                finish(exitCode);
            } };
}

} // namespace Commands

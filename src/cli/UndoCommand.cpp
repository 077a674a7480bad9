// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/CliOptions.h"
#include "cli/Commands.h"
#include "cli/Output.h"
#include "core/AppModel.h"
#include "core/Messages.h"
#include "naming/Messages.h"
#include "naming/RenameRecord.h"
#include "naming/Renamer.h"

#include <QJsonArray>

using namespace Qt::StringLiterals;

namespace Commands {

namespace {

// Each file that stays renamed, with the reason, on standard error; the same as JSON.
QJsonArray reportFailures(const Renamer::UndoResult& result)
{
    QJsonArray failed;
    if (!result.failures.empty())
        Output::line(stderr, Renamer::Messages::filesLeft(int(result.failures.size())));
    for (const auto& failure : result.failures) {
        const QString reason = Renamer::reasonText(failure);
        Output::line(stderr, displayPath(failure.entry.renamed) + u"："_s + reason);
        failed.append(QJsonObject { { u"path"_s, displayPath(failure.entry.renamed) },
            { u"originalPath"_s, displayPath(failure.entry.original) }, { u"reason"_s, reason } });
    }
    // What a later undo can finish.
    if (result.remaining)
        Output::line(stderr, Renamer::Messages::restLogged(displayPath(*result.remaining)));
    return failed;
}

// The batches that can be undone, newest first: time, file count and log, one a line.
void listBatches(const CliOptions& options)
{
    const std::vector<RenameRecord::Batch> batches = RenameRecord::batches();
    if (options.json) {
        QJsonArray list;
        for (const RenameRecord::Batch& batch : batches) {
            list.append(QJsonObject { { u"time"_s, batch.time.toUTC().toString(Qt::ISODate) },
                { u"files"_s, batch.files }, { u"log"_s, displayPath(batch.log) } });
        }
        Output::json({ { u"schemaVersion"_s, SchemaVersion }, { u"batches"_s, list } });
        return;
    }
    if (batches.empty())
        Output::line(stderr, ::Messages::NothingToUndo);
    for (const RenameRecord::Batch& batch : batches) {
        Output::line(stdout,
            batch.time.toString(u"yyyy-MM-dd HH:mm:ss"_s) + u"  "_s + QString::number(batch.files)
                + u" 个文件  "_s + Output::field(displayPath(batch.log)));
    }
}

} // namespace

// Replays one undo log: the one named, or with --last (or nothing) this user's newest. Batches that
// were killed half-way are turned into logs first, so --last can undo them too. Only logs in the
// private directory are consumed.
Command undoCommand()
{
    return { u"undo"_s, 0, [](const CliOptions& options, AppModel&, const Finish& finish) {
                if (options.list) {
                    listBatches(options);
                    finish(Done);
                    return;
                }
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
                        exitCode = result.failures.empty() ? Done : ItemFailed;
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
                    case Renamer::UndoResult::Outcome::Refused:
                        status = Renamer::Messages::untrustedLog(path);
                        exitCode = BadUsage;
                        break;
                    }
                }
                Output::line(stderr, status);
                const QJsonArray failed = reportFailures(result);
                const QString rest = result.remaining ? displayPath(*result.remaining) : QString();
                if (options.json) {
                    Output::json({ { u"schemaVersion"_s, SchemaVersion }, { u"status"_s, status },
                        { u"restored"_s, result.restored }, { u"failed"_s, failed },
                        { u"undoLog"_s, rest.isEmpty() ? QJsonValue() : QJsonValue(rest) } });
                } else {
                    // One line per file moved back: its old path, where it is now again.
                    for (const auto& move : result.moves)
                        Output::line(stdout, displayPath(move.original));
                }
                finish(exitCode);
            } };
}

} // namespace Commands

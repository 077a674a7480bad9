// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/CliOptions.h"
#include "cli/Commands.h"
#include "cli/Output.h"
#include "core/AppModel.h"
#include "core/Messages.h"
#include "naming/Renamer.h"

#include <QJsonArray>
#include <QJsonObject>

using namespace Qt::StringLiterals;

namespace Commands {

namespace {

// Failed, left pending by a run that was stopped, or not renamed.
bool anyUnfinished(const AppModel& model)
{
    return std::any_of(model.items().cbegin(), model.items().cend(), [](const VideoItem& item) {
        return item.status == VideoItem::Status::Error || item.status == VideoItem::Status::Pending
            || !item.renameFailure.isEmpty();
    });
}

// Every item failed at its request to the model, none at its own file.
bool allFailedAtRequest(const AppModel& model)
{
    return !model.items().isEmpty()
        && std::all_of(model.items().cbegin(), model.items().cend(), [](const VideoItem& item) {
               return item.status == VideoItem::Status::Error
                   && item.analysisText.startsWith(Messages::ErrorPrefix);
           });
}

// When the local server could not be reached, the readiness hint says what to do about it (as doctor
// does); then done.
void explainUnreachable(AppModel& model, const std::function<void()>& done)
{
    if (model.settings().engine() != VisionEngine::Ollama || !allFailedAtRequest(model)) {
        done();
        return;
    }
    auto* watcher = new QObject(&model);
    QObject::connect(&model, &AppModel::readinessChanged, watcher, [&model, done, watcher] {
        watcher->deleteLater();
        QObject::disconnect(&model, nullptr, watcher, nullptr);
        if (!model.readiness().running && model.readiness().error)
            Output::line(stderr, *model.readiness().error);
        done();
    });
    model.checkOllamaReadiness();
}

QJsonValue pathOrNull(const std::filesystem::path& path)
{
    return path.empty() ? QJsonValue() : QJsonValue(displayPath(path));
}

QJsonArray planJson(const RenamePlan::Plan& plan)
{
    QJsonArray files;
    for (const RenamePlan::File& file : plan.files) {
        QJsonArray sameName;
        for (const std::filesystem::path& other : file.sameNameAs)
            sameName.append(displayPath(other));
        files.append(
            QJsonObject { { u"path"_s, displayPath(file.from) }, { u"newPath"_s, pathOrNull(file.to) },
                { u"goesWith"_s, pathOrNull(file.goesWith) }, { u"sameNameAs"_s, sameName },
                { u"clashNumber"_s, file.clashTag.isEmpty() ? QJsonValue() : QJsonValue(file.clashTag) },
                { u"shortened"_s, file.isShortened }, { u"takenOnDisk"_s, file.isTakenOnDisk },
                { u"error"_s, file.failure.isEmpty() ? QJsonValue() : QJsonValue(file.failure) },
                { u"notes"_s, QJsonArray::fromStringList(RenamePlan::notes(file)) } });
    }
    return files;
}

// The rename that --rename would make now, file by file; nothing on disk changes.
int printPlan(const CliOptions& options, AppModel& model)
{
    const RenamePlan::Plan plan = Renamer::check(model.items());
    model.setStatusMessage(
        u"试运行：将重命名 "_s + QString::number(plan.renameCount()) + u" 个，未改动任何文件"_s);
    model.notify();
    printItems(options, model, { { u"plan"_s, planJson(plan) } });
    if (!options.json) {
        for (const RenamePlan::File& file : plan.files)
            Output::line(stdout, RenamePlan::line(file));
    }
    const bool anyFails = std::any_of(plan.files.cbegin(), plan.files.cend(),
        [](const RenamePlan::File& file) { return !file.failure.isEmpty(); });
    return anyFails || anyUnfinished(model) ? ItemFailed : Done;
}

} // namespace

Command analyzeCommand()
{
    return { u"analyze"_s, 1, [](const CliOptions& options, AppModel& model, const Finish& finish) {
                importArguments(options, model, [&options, &model, finish](int importStatus) {
                    if (model.items().isEmpty()) {
                        printItems(options, model, {});
                        finish(BadUsage); // nothing to analyse
                        return;
                    }
                    auto* watcher = new QObject(&model);
                    auto done = [&options, &model, finish, importStatus, watcher] {
                        watcher->deleteLater();
                        // An interrupted run renames nothing: what was asked for is not what is done.
                        if (const int signal = interruption()) {
                            printItems(options, model, {});
                            finish(InterruptedBase + signal);
                            return;
                        }
                        if (options.dryRun) {
                            const int status = printPlan(options, model);
                            explainUnreachable(model, [finish, status, importStatus] {
                                finish(status != Done ? status : importStatus);
                            });
                            return;
                        }
                        QJsonObject extra;
                        QHash<QUuid, std::filesystem::path> before;
                        if (options.rename) {
                            for (const VideoItem& item : model.items())
                                before.insert(item.id, item.url);
                            model.renameAll();
                            if (model.lastUndoLog())
                                extra.insert(u"undoLog"_s, displayPath(*model.lastUndoLog()));
                        }
                        printItems(options, model, extra, before);
                        explainUnreachable(model, [&model, finish, importStatus] {
                            finish(anyUnfinished(model) ? ItemFailed : importStatus);
                        });
                    };
                    QObject::connect(&model, &AppModel::changed, watcher, [&model, done, watcher] {
                        if (!model.isBusy() && !watcher->property("finished").toBool()) {
                            watcher->setProperty("finished", true);
                            done();
                        }
                    });
                    model.analyzeAll();
                });
            } };
}

} // namespace Commands

// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/CliOptions.h"
#include "cli/Commands.h"
#include "cli/Output.h"
#include "core/AppModel.h"
#include "core/Messages.h"

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

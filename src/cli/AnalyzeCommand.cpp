// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/CliOptions.h"
#include "cli/Commands.h"
#include "cli/Output.h"
#include "core/AppModel.h"

#include <QJsonObject>

using namespace Qt::StringLiterals;

namespace Commands {

namespace {

// Failed, or left pending by a run that was stopped.
bool anyUnfinished(const AppModel& model)
{
    return std::any_of(model.items().cbegin(), model.items().cend(), [](const VideoItem& item) {
        return item.status == VideoItem::Status::Error || item.status == VideoItem::Status::Pending;
    });
}

} // namespace

Command analyzeCommand()
{
    return { u"analyze"_s, 1, [](const CliOptions& options, AppModel& model, const Finish& finish) {
                importArguments(options, model, [&options, &model, finish](int importStatus) {
                    auto* watcher = new QObject(&model);
                    auto done = [&options, &model, finish, importStatus, watcher] {
                        watcher->deleteLater();
                        QJsonObject extra;
                        if (options.rename) {
                            model.renameAll();
                            if (model.lastUndoLog())
                                extra.insert(u"undoLog"_s, displayPath(*model.lastUndoLog()));
                        }
                        printItems(options, model, extra);
                        finish(anyUnfinished(model) ? ItemFailed : importStatus);
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

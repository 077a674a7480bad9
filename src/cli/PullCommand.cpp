// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/CliOptions.h"
#include "cli/Commands.h"
#include "cli/Output.h"
#include "core/AppModel.h"
#include "core/Messages.h"

using namespace Qt::StringLiterals;

namespace Commands {

// Downloads a model through the local server whatever engine is selected, as the window does; each
// new progress text goes to standard error.
Command pullCommand()
{
    return { u"pull"_s, 1, [](const CliOptions& options, AppModel& model, const Finish& finish) {
                const QString name = options.arguments.first().trimmed();
                if (name.isEmpty()) {
                    Output::line(stderr, u"pull 需要一个模型名称"_s);
                    finish(BadUsage);
                    return;
                }
                auto* watcher = new QObject(&model);
                auto last = std::make_shared<QString>();
                QObject::connect(&model, &AppModel::readinessChanged, watcher,
                    [&options, &model, name, finish, watcher, last] {
                        // A layer reports many times per percent; a repeated text tells nothing.
                        if (model.pullProgress() != *last) {
                            *last = model.pullProgress();
                            Output::line(stderr, *last);
                        }
                        if (model.isPulling())
                            return;
                        QObject::disconnect(&model, nullptr, watcher, nullptr);
                        watcher->deleteLater();
                        if (options.json)
                            Output::json({ { u"model"_s, name }, { u"status"_s, *last } });
                        finish(*last == Messages::PullDone ? Done : ItemFailed);
                    });
                model.pullVisionModel(name);
            } };
}

} // namespace Commands

// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/CliOptions.h"
#include "cli/Commands.h"
#include "cli/Output.h"
#include "core/AppModel.h"

#include <QJsonArray>
#include <QJsonObject>

using namespace Qt::StringLiterals;

namespace Commands {

// Exit status 0 when the selected engine is ready to analyse, 1 when the hint says what is missing.
Command doctorCommand()
{
    return { u"doctor"_s, 0, [](const CliOptions& options, AppModel& model, const Finish& finish) {
                auto* watcher = new QObject(&model);
                QObject::connect(
                    &model, &AppModel::readinessChanged, watcher, [&options, &model, finish, watcher] {
                        watcher->deleteLater();
                        QObject::disconnect(&model, nullptr, watcher, nullptr);
                        const AppModel::OllamaReadiness& r = model.readiness();
                        if (options.json) {
                            Output::json(QJsonObject {
                                { u"installed"_s, r.installed },
                                { u"running"_s, r.running },
                                { u"hasModel"_s, r.hasModel },
                                { u"modelNames"_s, QJsonArray::fromStringList(r.modelNames) },
                                { u"error"_s, r.error ? QJsonValue(*r.error) : QJsonValue(QJsonValue::Null) },
                            });
                        } else {
                            auto yesNo = [](bool b) { return b ? u"是"_s : u"否"_s; };
                            Output::line(stdout, u"已安装: "_s + yesNo(r.installed));
                            Output::line(stdout, u"正在运行: "_s + yesNo(r.running));
                            Output::line(stdout, u"已有模型: "_s + yesNo(r.hasModel));
                            for (const QString& name : r.modelNames)
                                Output::line(stdout, u"  "_s + Output::field(name));
                            if (r.error)
                                Output::line(stderr, *r.error);
                        }
                        finish(r.error ? ItemFailed : Done);
                    });
                model.checkOllamaReadiness();
            } };
}

} // namespace Commands

// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/CliOptions.h"
#include "cli/Commands.h"
#include "cli/ItemJson.h"
#include "cli/Output.h"
#include "core/AppModel.h"

using namespace Qt::StringLiterals;

namespace Commands {

Command settingsCommand()
{
    return { u"settings"_s, 0, [](const CliOptions& options, AppModel& model, const Finish& finish) {
                const QJsonObject object = ItemJson::settings(model.settings());
                if (options.json) {
                    Output::json(object);
                } else {
                    for (auto it = object.begin(); it != object.end(); ++it) {
                        const QJsonValue v = it.value();
                        const QString text = v.isBool() ? (v.toBool() ? u"true"_s : u"false"_s)
                            : v.isDouble()              ? QString::number(v.toInteger())
                                                        : v.toString();
                        Output::line(stdout, it.key() + u" = "_s + text);
                    }
                }
                finish(Done);
            } };
}

} // namespace Commands

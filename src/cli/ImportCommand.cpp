// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/CliOptions.h"
#include "cli/Commands.h"
#include "cli/ItemJson.h"
#include "cli/Output.h"
#include "core/AppModel.h"

#include <QJsonArray>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace Commands {

namespace {

QString itemLine(const VideoItem& item)
{
    const QString date
        = item.creationDate ? item.creationDate->toLocalTime().toString(u"yyyy-MM-dd HH:mm:ss"_s) : u"-"_s;
    const QString place = item.pathPlace && !item.pathPlace->isEmpty() ? *item.pathPlace : u"-"_s;
    return rawValue(item.mediaKind) + u'\t' + rawValue(item.status) + u'\t' + date + u'\t' + place + u'\t'
        + displayPath(item.url);
}

} // namespace

// Paths that do not exist are reported and skipped (exit status 2); the rest are imported.
void importArguments(const CliOptions& options, AppModel& model, const std::function<void(int status)>& then)
{
    int status = Done;
    std::vector<std::filesystem::path> paths;
    for (const QString& argument : options.arguments) {
        const auto path = Output::argumentPath(argument);
        struct stat st
        { };
        if (::stat(path.c_str(), &st) != 0) {
            Output::line(stderr, u"无法读取: "_s + argument);
            status = BadUsage;
            continue;
        }
        paths.push_back(path);
    }
    auto* watcher = new QObject(&model);
    QObject::connect(&model, &AppModel::importFinished, watcher, [watcher, then, status] {
        delete watcher;
        then(status);
    });
    model.addFiles(paths);
}

void printItems(const CliOptions& options, const AppModel& model, const QJsonObject& extra)
{
    if (options.json) {
        QJsonArray items;
        for (const VideoItem& item : model.items())
            items.append(ItemJson::item(item));
        QJsonObject object = extra;
        object.insert(u"status"_s, model.statusMessage());
        object.insert(u"items"_s, items);
        Output::json(object);
    } else {
        for (const VideoItem& item : model.items())
            Output::line(stdout, itemLine(item));
    }
}

Command importCommand()
{
    return { u"import"_s, 1, [](const CliOptions& options, AppModel& model, const Finish& finish) {
                importArguments(options, model, [&options, &model, finish](int status) {
                    printItems(options, model, {});
                    finish(status);
                });
            } };
}

} // namespace Commands

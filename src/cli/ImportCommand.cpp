// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/CliOptions.h"
#include "cli/Commands.h"
#include "cli/ItemJson.h"
#include "cli/Output.h"
#include "core/AppModel.h"
#include "media/FileKinds.h"

#include <QJsonArray>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace Commands {

namespace {

QString itemLine(const VideoItem& item)
{
    const QString place = item.pathPlace && !item.pathPlace->isEmpty() ? *item.pathPlace : u"-"_s;
    return rawValue(item.mediaKind) + u'\t' + rawValue(item.status) + u'\t'
        + ItemJson::localDate(item.creationDate) + u'\t' + Output::field(place) + u'\t'
        + Output::field(displayPath(item.url));
}

QString takenBy(MediaKind kind)
{
    return kind == MediaKind::Photo ? u"当前处理对象不含照片，可加 --target photos 或 --target both"_s
                                    : u"当前处理对象不含视频，可加 --target videos 或 --target both"_s;
}

// A file named on the command line that the media target leaves out: says which option takes it.
bool reportFiltered(const QString& argument, const std::filesystem::path& path, MediaTarget target)
{
    const auto kind = FileKinds::kindOf(path);
    if (!kind || target == MediaTarget::Both
        || (target == MediaTarget::Videos) == (*kind == MediaKind::Video))
        return false;
    Output::line(stderr, u"未导入 "_s + argument + u"："_s + takenBy(*kind));
    return true;
}

// Media in the folders given that the target left out: how many, and which option takes them.
bool reportLeftOut(const AppModel::LeftOut& leftOut)
{
    if (leftOut.photos > 0)
        Output::line(
            stderr, u"文件夹中有 %1 张照片未导入："_s.arg(leftOut.photos) + takenBy(MediaKind::Photo));
    if (leftOut.videos > 0)
        Output::line(
            stderr, u"文件夹中有 %1 个视频未导入："_s.arg(leftOut.videos) + takenBy(MediaKind::Video));
    return leftOut.photos > 0 || leftOut.videos > 0;
}

} // namespace

// Paths that do not exist are reported and skipped (exit status 2); the rest are imported, then then runs.
// Files the media target leaves out, named or in the folders, are reported too, and give exit status 2
// when nothing was imported.
void importArguments(const CliOptions& options, AppModel& model, const std::function<void(int status)>& then)
{
    int status = Done;
    bool filtered = false;
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
        if (!S_ISDIR(st.st_mode))
            filtered |= reportFiltered(argument, path, model.settings().mediaTarget());
        paths.push_back(path);
    }
    auto* watcher = new QObject(&model);
    QObject::connect(&model, &AppModel::importFinished, watcher, [watcher, then, status, filtered, &model] {
        delete watcher;
        const bool leftOut = reportLeftOut(model.lastImportLeftOut());
        then((filtered || leftOut) && model.items().isEmpty() ? int(BadUsage) : status);
    });
    model.addFiles(paths);
}

void reportFailure(const VideoItem& item)
{
    if (item.status == VideoItem::Status::Error && !item.analysisText.isEmpty())
        Output::line(stderr, displayPath(item.url) + u": "_s + item.analysisText);
}

void printItems(const CliOptions& options,
    const AppModel& model,
    const QJsonObject& extra,
    const QHash<QUuid, std::filesystem::path>& renamedFrom)
{
    if (options.json) {
        QJsonArray items;
        int analyzed = 0, failed = 0, renamed = 0;
        for (const VideoItem& item : model.items()) {
            QJsonObject object = ItemJson::item(item);
            if (const auto it = renamedFrom.constFind(item.id); it != renamedFrom.cend() && *it != item.url)
                object.insert(u"originalPath"_s, displayPath(*it));
            items.append(object);
            analyzed
                += item.status == VideoItem::Status::Analyzed || item.status == VideoItem::Status::Renamed;
            failed += item.status == VideoItem::Status::Error;
            renamed += item.status == VideoItem::Status::Renamed;
        }
        QJsonObject object = extra;
        object.insert(u"schemaVersion"_s, SchemaVersion);
        object.insert(u"analyzed"_s, analyzed);
        object.insert(u"failed"_s, failed);
        object.insert(u"renamed"_s, renamed);
        object.insert(u"status"_s, model.statusMessage());
        object.insert(u"items"_s, items);
        Output::json(object);
    } else {
        for (const VideoItem& item : model.items()) {
            Output::line(stdout, itemLine(item));
            reportFailure(item);
        }
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

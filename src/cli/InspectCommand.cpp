// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/CliOptions.h"
#include "cli/Commands.h"
#include "cli/ItemJson.h"
#include "cli/Output.h"
#include "core/AppModel.h"
#include "core/Messages.h"
#include "decoder/DecoderPool.h"

#include <QFile>
#include <QJsonArray>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace Commands {

namespace {

constexpr int PhotoMaxSize = 1280;
constexpr double MontageQuality = 0.8;

struct Inspection
{
    VideoItem item;
    std::optional<double> duration;
};

// What the analysis run takes from a file before asking the model: frames or the photo picture, the
// stored position and the montage. Read-only: the model's list is not changed.
Inspection inspect(const VideoItem& original, int frameCount)
{
    Inspection result { original, std::nullopt };
    VideoItem& item = result.item;
    const Decoded decoded = DecoderPool::shared().decode(
        { item.url, item.mediaKind, frameCount, PhotoMaxSize, MontageQuality, /*inspect=*/true });
    result.duration = decoded.durationSeconds;
    item.frames = decoded.frames;
    item.coordinate = decoded.coordinate;
    item.montage = decoded.montage;
    if (item.frames.isEmpty()) {
        item.status = VideoItem::Status::Error;
        item.analysisText
            = item.mediaKind == MediaKind::Video ? Messages::NoFrames : Messages::UnreadablePhoto;
    }
    return result;
}

bool writeNew(const std::filesystem::path& file, const QByteArray& data)
{
    // O_EXCL: never replace anything, even a file that appeared meanwhile.
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t wrote = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (wrote <= 0 && errno != EINTR)
            break;
        done += std::max<ssize_t>(0, wrote);
    }
    return ::close(fd) == 0 && done == data.size();
}

// DIR/<file name>/frame-1.jpg … montage.jpg. A folder that exists already is left alone: the next free
// "<file name> (2)", "(3)"… is used instead, so nothing a user has is ever overwritten.
bool writePictures(const std::filesystem::path& directory, const VideoItem& item, QString* where)
{
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    const std::string name = item.url.filename().native();
    std::filesystem::path folder;
    for (int attempt = 1; attempt < 1000; ++attempt) {
        const std::filesystem::path candidate
            = directory / (attempt == 1 ? name : name + " (" + std::to_string(attempt) + ")");
        if (::mkdir(candidate.c_str(), 0755) == 0) {
            folder = candidate;
            break;
        }
        if (errno != EEXIST)
            return false;
    }
    if (folder.empty())
        return false;
    *where = displayPath(folder);
    bool ok = true;
    for (qsizetype i = 0; i < item.frames.size(); ++i)
        ok &= writeNew(folder / ("frame-" + std::to_string(i + 1) + ".jpg"), item.frames.at(i));
    if (item.montage)
        ok &= writeNew(folder / "montage.jpg", item.montage->jpeg);
    return ok;
}

QString textLine(const Inspection& inspection)
{
    const VideoItem& item = inspection.item;
    const QString duration
        = inspection.duration ? QString::number(*inspection.duration, 'f', 3) + u's' : u"-"_s;
    const QString coordinate = item.coordinate ? QString::number(item.coordinate->latitude, 'f', 6) + u','
            + QString::number(item.coordinate->longitude, 'f', 6)
                                               : u"-"_s;
    const QString montage = item.montage ? u"%1x%2 (%3x%4)"_s.arg(item.montage->columns)
                                               .arg(item.montage->rows)
                                               .arg(item.montage->width)
                                               .arg(item.montage->height)
                                         : u"-"_s;
    return rawValue(item.mediaKind) + u'\t' + ItemJson::localDate(item.creationDate) + u'\t' + coordinate
        + u'\t' + duration + u'\t' + QString::number(item.frames.size()) + u'\t' + montage + u'\t'
        + Output::field(displayPath(item.url));
}

} // namespace

Command inspectCommand()
{
    return { u"inspect"_s, 1,
        [](const CliOptions& options, AppModel& model, const Finish& finish) {
            importArguments(options, model, [&options, &model, finish](int status) {
                QJsonArray items;
                for (const VideoItem& item : model.items()) {
                    const Inspection inspection = inspect(item, model.settings().frameCount);
                    if (inspection.item.frames.isEmpty() && status == Done)
                        status = ItemFailed;
                    if (options.framesDir) {
                        QString where;
                        if (writePictures(Output::argumentPath(*options.framesDir), inspection.item, &where))
                            Output::line(stderr, u"已写入 "_s + where);
                        else
                            Output::line(stderr, u"无法写入: "_s + *options.framesDir);
                    }
                    if (options.json) {
                        QJsonObject object = ItemJson::item(inspection.item);
                        object.insert(u"durationSeconds"_s,
                            inspection.duration ? QJsonValue(*inspection.duration) : QJsonValue());
                        items.append(object);
                    } else {
                        Output::line(stdout, textLine(inspection));
                        reportFailure(inspection.item);
                    }
                }
                if (options.json)
                    Output::json(QJsonObject { { u"schemaVersion"_s, SchemaVersion },
                        { u"status"_s, model.statusMessage() }, { u"items"_s, items } });
                finish(status);
            });
        } };
}

} // namespace Commands

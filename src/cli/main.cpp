// SPDX-License-Identifier: GPL-3.0-or-later
// velmora-cli: the headless front end. Drives the same AppModel as the window, from the same settings.

#include "cli/CliOptions.h"
#include "cli/ItemJson.h"
#include "common/SettingsStore.h"
#include "core/AppModel.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>

#include <cstdio>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

enum ExitCode
{
    Done = 0,
    ItemFailed = 1,
    BadUsage = 2,
};

void printLine(FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

void printJson(const QJsonObject& object)
{
    const QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Indented);
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

// Arguments arrive as the bytes the shell passed; keep them byte-exact for paths.
std::filesystem::path argumentPath(const QString& argument)
{
    return std::filesystem::path(QFile::encodeName(argument).toStdString());
}

// Prints the status line to standard error whenever it changes.
class StatusPrinter : public QObject
{
public:
    explicit StatusPrinter(AppModel& model)
        : m_model(model)
        , m_last(model.statusMessage())
    {
        connect(&model, &AppModel::changed, this, [this] {
            if (m_model.statusMessage() != m_last) {
                m_last = m_model.statusMessage();
                printLine(stderr, m_last);
            }
        });
    }

private:
    AppModel& m_model;
    QString m_last;
};

QString itemLine(const VideoItem& item)
{
    const QString date = item.creationDate ? item.creationDate->toLocalTime().toString(u"yyyy-MM-dd HH:mm:ss"_s)
                                           : u"-"_s;
    const QString place = item.pathPlace && !item.pathPlace->isEmpty() ? *item.pathPlace : u"-"_s;
    return rawValue(item.mediaKind) + u'\t' + rawValue(item.status) + u'\t' + date + u'\t' + place + u'\t'
        + displayPath(item.url);
}

int runSettings(const CliOptions& options, AppModel& model)
{
    const QJsonObject object = ItemJson::settings(model.settings());
    if (options.json) {
        printJson(object);
    } else {
        for (auto it = object.begin(); it != object.end(); ++it) {
            const QJsonValue v = it.value();
            const QString text = v.isBool() ? (v.toBool() ? u"true"_s : u"false"_s)
                : v.isDouble()              ? QString::number(v.toInteger())
                                            : v.toString();
            printLine(stdout, it.key() + u" = "_s + text);
        }
    }
    return Done;
}

int runImport(const CliOptions& options, AppModel& model)
{
    int status = Done;
    std::vector<std::filesystem::path> paths;
    for (const QString& argument : options.arguments) {
        const auto path = argumentPath(argument);
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            printLine(stderr, u"无法读取: "_s + argument);
            status = BadUsage;
            continue;
        }
        paths.push_back(path);
    }
    model.addFiles(paths);
    if (options.json) {
        QJsonArray items;
        for (const VideoItem& item : model.items())
            items.append(ItemJson::item(item));
        printJson(QJsonObject { { u"status"_s, model.statusMessage() }, { u"items"_s, items } });
    } else {
        for (const VideoItem& item : model.items())
            printLine(stdout, itemLine(item));
    }
    return status;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"velmora"_s);
    QCoreApplication::setApplicationVersion(QStringLiteral(APP_VERSION));

    QString error;
    const auto options = CliOptions::parse(QCoreApplication::arguments(), &error);
    if (!options) {
        printLine(stderr, u"velmora-cli: "_s + error);
        printLine(stderr, CliOptions::helpText());
        return BadUsage;
    }
    if (options->help) {
        printLine(stdout, CliOptions::helpText());
        return Done;
    }
    if (options->version) {
        printLine(stdout, u"velmora-cli "_s + QCoreApplication::applicationVersion());
        return Done;
    }

    AppModel model;
    if (const QString moved = SettingsStore::lastQuarantinePath(); !moved.isEmpty())
        printLine(stderr, u"设置文件已损坏，已另存为 "_s + moved + u"，本次使用默认设置"_s);
    options->applyTo(model.settings());
    StatusPrinter printer(model);

    int exitCode = Done;
    QTimer::singleShot(0, &app, [&] {
        if (options->command == u"settings")
            exitCode = runSettings(*options, model);
        else if (options->command == u"import")
            exitCode = runImport(*options, model);
        // Queued behind the model's own notifications, so the last status line is printed first.
        QMetaObject::invokeMethod(&app, [&] { QCoreApplication::exit(exitCode); }, Qt::QueuedConnection);
    });
    app.exec();
    return exitCode;
}

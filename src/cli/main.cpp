// SPDX-License-Identifier: GPL-3.0-or-later
// velmora-cli: the headless front end. Drives the same AppModel as the window, from the same settings.

#include "cli/CliOptions.h"
#include "cli/Commands.h"
#include "cli/Output.h"
#include "common/SettingsStore.h"
#include "core/AppModel.h"

#include <QCoreApplication>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {

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
                Output::line(stderr, m_last);
            }
        });
    }

private:
    AppModel& m_model;
    QString m_last;
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"velmora"_s);
    QCoreApplication::setApplicationVersion(QStringLiteral(APP_VERSION));

    QString error;
    const auto options = CliOptions::parse(QCoreApplication::arguments(), &error);
    if (!options) {
        Output::line(stderr, u"velmora-cli: "_s + error);
        Output::line(stderr, CliOptions::helpText());
        return Commands::BadUsage;
    }
    if (options->help) {
        Output::line(stdout, CliOptions::helpText());
        return Commands::Done;
    }
    if (options->version) {
        Output::line(stdout, u"velmora-cli "_s + QCoreApplication::applicationVersion());
        return Commands::Done;
    }

    AppModel model;
    if (const QString moved = SettingsStore::lastQuarantinePath(); !moved.isEmpty())
        Output::line(stderr, u"设置文件已损坏，已另存为 "_s + moved + u"，本次使用默认设置"_s);
    options->applyTo(model.settings());
    StatusPrinter printer(model);

    int exitCode = Commands::Done;
    const Commands::Command* command = Commands::find(options->command);
    QTimer::singleShot(0, &model, [&] {
        command->run(*options, model, [&](int code) {
            exitCode = code;
            // Queued behind the model's own notifications, so the last status line is printed first.
            QMetaObject::invokeMethod(
                &app, [] { QCoreApplication::exit(); }, Qt::QueuedConnection);
        });
    });
    app.exec();
    return exitCode;
}

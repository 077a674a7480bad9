// SPDX-License-Identifier: GPL-3.0-or-later
// velmora-cli: the headless front end. Drives the same AppModel as the window, from the same settings.

#include "catalogue/Database.h"
#include "cli/CliOptions.h"
#include "cli/Commands.h"
#include "cli/Output.h"
#include "common/QtTranslations.h"
#include "common/SettingsStore.h"
#include "core/AppModel.h"
#include "core/CatalogueLink.h"
#include "core/Messages.h"
#include "naming/PlaceResolver.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

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

int s_interruptPipe[2] = { -1, -1 };

// Only writes the signal's number: everything else happens on the event loop.
void onInterrupt(int signal)
{
    const char byte = char(signal);
    [[maybe_unused]] const ssize_t n = ::write(s_interruptPipe[1], &byte, 1);
}

// Ctrl-C or SIGTERM during an analysis stops the run after the item in flight, so the results so far and
// the summary are still printed and nothing is renamed; a second signal, or one while no analysis runs,
// ends the program at once.
void stopRunOnInterrupt(AppModel& model)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s_interruptPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(s_interruptPipe[0], QSocketNotifier::Read, &model);
    QObject::connect(notifier, &QSocketNotifier::activated, &model, [&model, notifier] {
        char byte = 0;
        [[maybe_unused]] const ssize_t n = ::read(s_interruptPipe[0], &byte, 1);
        const int signal = byte;
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        notifier->setEnabled(false);
        Commands::setInterruption(signal);
        if (!model.isBusy())
            std::raise(signal);
        model.stopAnalysis();
    });
    struct sigaction action
    { };
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"velmora"_s);
    QCoreApplication::setApplicationVersion(QStringLiteral(APP_VERSION));
    QtTranslations::install(app);

    CliOptions::UsageError error;
    const auto options = CliOptions::parse(QCoreApplication::arguments(), &error);
    // The key is read; children of this program never see it.
    qunsetenv("VELMORA_API_KEY");
    if (!options) {
        Output::line(stderr, u"velmora-cli: "_s + error.message);
        Output::line(stderr,
            u"请运行 velmora-cli "_s + (error.command.isEmpty() ? QString() : error.command + u' ')
                + u"--help 查看用法"_s);
        if (error.json)
            Output::json({ { u"schemaVersion"_s, Commands::SchemaVersion }, { u"error"_s, error.message } });
        return Commands::BadUsage;
    }
    if (options->help) {
        Output::line(stdout, CliOptions::helpText(options->command));
        return Commands::Done;
    }
    if (options->version) {
        Output::line(stdout, u"velmora-cli "_s + QCoreApplication::applicationVersion());
        return Commands::Done;
    }

    // The stored analyses are shared with the window; its work list is not.
    AppModel model(QString(), AppModel::Storage { Catalogue::defaultLocation(), false });
    if (const QString opening = model.catalogue() ? model.catalogue()->openingMessage() : QString();
        !opening.isEmpty())
        Output::line(stderr, opening);
    if (const QString moved = SettingsStore::lastQuarantinePath(); !moved.isEmpty())
        Output::line(stderr, Messages::settingsMovedAside(moved));
    options->applyTo(model.settings());
    const AppSettings& settings = model.settings();
    const QStringList sendsKey { u"settings"_s, u"models"_s, u"analyze"_s };
    if (settings.engine() == VisionEngine::OpenAI && sendsKey.contains(options->command)) {
        if (const auto warning = Messages::plainTextKeyWarning(settings.openAIURL(), settings.openAIKey))
            Output::line(stderr, *warning);
    }
    PlaceResolver::setUnreachableHandler([](const QString& message) { Output::line(stderr, message); });
    StatusPrinter printer(model);
    stopRunOnInterrupt(model);

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

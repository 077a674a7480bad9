// SPDX-License-Identifier: GPL-3.0-or-later
// velmora: the desktop application. One main window over the one AppModel.

#include "Probe.h"
#include "common/AppSettings.h"
#include "common/QtTranslations.h"
#include "core/AppModel.h"
#include "core/QuitSignals.h"
#include "ui/main/MainWindow.h"
#include "ui/main/SingleInstance.h"
#include "ui/widgets/DragPayload.h"
#include "ui/windows/SecondaryWindows.h"
#include "update/UpdateChecker.h"

#include <QApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QScreen>
#include <QTimer>
#include <QUrl>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

QString windowTitle(const QString& version)
{
    return version.isEmpty() ? u"Ondrel Velmora"_s : u"Ondrel Velmora "_s + version;
}

void centreOnScreen(QWidget& window)
{
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect available = screen->availableGeometry();
    window.move(available.center() - QPoint(window.width() / 2, window.height() / 2));
}

// What the command line asks of us before any window exists: --version and --help are answered
// without a display (over ssh, in a script); a start without any display gets a sentence instead of
// Qt's abort.
std::optional<int> answerWithoutWindow(int argc, char* argv[])
{
    bool platformOption = false;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (std::strcmp(argument, "--") == 0)
            break;
        if (std::strcmp(argument, "--version") == 0 || std::strcmp(argument, "-v") == 0) {
            std::printf("velmora %s\n", APP_VERSION);
            return 0;
        }
        if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
            std::printf("用法：velmora [文件或文件夹…]\n打开窗口，并把给出的文件和文件夹加入列表。\n");
            return 0;
        }
        platformOption = platformOption || std::strcmp(argument, "-platform") == 0
            || std::strncmp(argument, "-platform=", 10) == 0;
    }
    if (!platformOption && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")
        && qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fprintf(stderr,
            "velmora：找不到图形桌面（DISPLAY 和 WAYLAND_DISPLAY 都没有设置）。"
            "没有桌面时请用 velmora-cli。\n");
        return 1;
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char* argv[])
{
    if (const std::optional<int> status = answerWithoutWindow(argc, argv))
        return *status;

    // What the launcher gave this start for raising a window; the application object takes them from the
    // environment, and a start that hands its files over passes them on.
    const QByteArray startupId = qgetenv("DESKTOP_STARTUP_ID");
    const QByteArray activationToken = qgetenv("XDG_ACTIVATION_TOKEN");

    QApplication app(argc, argv); // takes Qt's own options (-platform …) out of argv
    QCoreApplication::setApplicationName(u"velmora"_s);
    QCoreApplication::setApplicationVersion(QStringLiteral(APP_VERSION));
    QGuiApplication::setDesktopFileName(u"org.ondrel.Velmora"_s);
    QtTranslations::install(app);
    QApplication::setWindowIcon(
        QIcon::fromTheme(u"org.ondrel.Velmora"_s, QIcon(u":/app/org.ondrel.Velmora.svg"_s)));

    // The files and folders to import, as a file manager's "Open with" hands them over. Taken from argv
    // as bytes: names need not be valid UTF-8.
    std::vector<std::filesystem::path> paths;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (options && std::strcmp(argument, "--") == 0)
            options = false;
        else if (std::strncmp(argument, "file:", 5) == 0) {
            // As a drop: only files on this machine, their bytes as the URL encodes them.
            if (auto path = DragPayload::localPath(QUrl::fromEncoded(QByteArray(argument))))
                paths.push_back(std::move(*path));
        } else
            paths.emplace_back(argument);
    }

    // A window already open takes the files; no second window writes the same session. A measurement
    // always gets a window of its own.
    SingleInstance instance;
    if (!qEnvironmentVariableIsSet("VELMORA_PROBE")
        && instance.start(paths, startupId, activationToken) == SingleInstance::Role::Forwarded)
        return 0;

    int exitCode = 0;
    {
        AppModel model;
        MainWindow window(model);
        window.setWindowTitle(windowTitle(QCoreApplication::applicationVersion()));
        centreOnScreen(window);
        Probe::install(model, window);
        // Asked to stop (logout, kill, Ctrl-C in the terminal): quit as the window's close does, so the
        // model's destructor removes the pictures of this run from the cache.
        QuitSignals::watch({ SIGTERM, SIGINT, SIGHUP }, &window, [](int) { QCoreApplication::quit(); });
        window.show();
        QObject::connect(&instance, &SingleInstance::openRequested, &window,
            [&model, &window](const std::vector<std::filesystem::path>& more, const QByteArray& id,
                const QByteArray& token) {
                SingleInstance::raise(window, id, token);
                if (!more.empty())
                    model.addFiles(more);
            });

        // Everything else waits for the event loop, so the window is on screen first.
        QTimer::singleShot(0, &window, [&model, &window, &paths] {
            model.recoverInterruptedRename();

            // The onboarding window comes up whenever a readiness check of the local server ends not
            // ready; a download in progress reports through the same signal and is let be.
            QObject::connect(&model, &AppModel::readinessChanged, &window, [&model, &window] {
                if (model.settings().engine() != VisionEngine::Ollama || model.isPulling())
                    return;
                const AppModel::OllamaReadiness& readiness = model.readiness();
                if (readiness.installed && readiness.running && readiness.hasModel)
                    return;
                window.windows().showOnboarding();
            });
            model.checkOllamaReadiness();

            UpdateChecker::checkAndNotify(false, UpdateChecker::Environment {}, &window,
                [&window](const QString& latest) { window.windows().showUpdateAlert(latest); });

            if (!paths.empty())
                model.addFiles(paths);
        });

        exitCode = QApplication::exec();
    }
    // The window and the model are gone, and with them every request, import and cache folder. What
    // may still run is a decode on a worker thread, bounded by its own deadline: the process does not
    // wait for it.
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(exitCode);
}

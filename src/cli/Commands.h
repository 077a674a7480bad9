// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QHash>
#include <QJsonObject>
#include <QString>
#include <QUuid>

#include <filesystem>
#include <functional>
#include <vector>

class AppModel;
struct CliOptions;
struct VideoItem;

// The commands of velmora-cli. A command runs on the event loop, may work asynchronously, and calls
// finish exactly once with the exit status.
namespace Commands {

// The version of the --json documents' form; raised when a key changes meaning or goes away.
constexpr int SchemaVersion = 1;

enum ExitCode
{
    Done = 0,
    ItemFailed = 1,
    BadUsage = 2,
    // 128 + the signal, as a shell reports a program a signal ended: 130 for SIGINT, 143 for SIGTERM.
    InterruptedBase = 128,
};

// The signal (SIGINT or SIGTERM) that asked this run to stop, or 0. Commands that work in steps check
// it between them; an interrupted run changes nothing more on disk.
int interruption();
void setInterruption(int signal);

using Finish = std::function<void(int exitCode)>;

struct Command
{
    QString name;
    int minArguments = 0;
    std::function<void(const CliOptions&, AppModel&, const Finish&)> run;
};

const std::vector<Command>& all();
const Command* find(const QString& name);

// Shared by the commands that import paths given on the command line.
// Imports the arguments, then calls then with Done, or BadUsage when an argument could not be read.
void importArguments(const CliOptions& options, AppModel& model, const std::function<void(int status)>& then);
// With --json one document: schemaVersion, the counts, status, items, and extra. renamedFrom holds the
// paths the items had before a rename.
void printItems(const CliOptions& options,
    const AppModel& model,
    const QJsonObject& extra,
    const QHash<QUuid, std::filesystem::path>& renamedFrom = {});
// Why a failed item failed, on standard error.
void reportFailure(const VideoItem& item);

// One file per command; each defines its entry here.
Command settingsCommand();
Command importCommand();
Command inspectCommand();
Command modelsCommand();
Command pullCommand();
Command undoCommand();
Command exportCsvCommand();
Command analyzeCommand();
Command doctorCommand();
Command forgetCommand();

} // namespace Commands

// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/Commands.h"

namespace Commands {

namespace {
int s_interruption = 0;
} // namespace

int interruption()
{
    return s_interruption;
}

void setInterruption(int signal)
{
    s_interruption = signal;
}

const std::vector<Command>& all()
{
    static const std::vector<Command> commands {
        settingsCommand(),
        importCommand(),
        inspectCommand(),
        modelsCommand(),
        pullCommand(),
        undoCommand(),
        exportCsvCommand(),
        analyzeCommand(),
        doctorCommand(),
        forgetCommand(),
    };
    return commands;
}

const Command* find(const QString& name)
{
    for (const Command& command : all()) {
        if (command.name == name)
            return &command;
    }
    return nullptr;
}

} // namespace Commands

// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/windows/SetupSteps.h"

#include "core/Messages.h"

#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace SetupSteps {

QString installCommand()
{
    return Messages::InstallCommand;
}

QStringList serviceUnitFiles()
{
    // The installer writes the first; distribution packages use the others.
    return { u"/etc/systemd/system/ollama.service"_s, u"/usr/lib/systemd/system/ollama.service"_s,
        u"/lib/systemd/system/ollama.service"_s };
}

QString startCommand(const QStringList& unitFiles)
{
    for (const QString& file : unitFiles) {
        if (QFileInfo(file).isFile())
            return u"systemctl start ollama"_s;
    }
    return u"ollama serve"_s;
}

QString pullCommand()
{
    return u"ollama pull qwen2.5vl:7b"_s;
}

} // namespace SetupSteps

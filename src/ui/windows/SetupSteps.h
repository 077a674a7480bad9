// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

// The commands that install, start and fill the local model server on this machine, as the
// onboarding window and the settings window give them.
namespace SetupSteps {

// The official Linux installer, the same command the readiness hint names.
QString installCommand();
// Where a system service of the server is defined when its installer set one up.
QStringList serviceUnitFiles();
// "systemctl start ollama" when one of unitFiles exists (the installer made the server a system
// service), "ollama serve" otherwise.
QString startCommand(const QStringList& unitFiles = serviceUnitFiles());
QString pullCommand();

} // namespace SetupSteps

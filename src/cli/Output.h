// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QJsonObject>
#include <QString>

#include <cstdio>
#include <filesystem>

// Writing to standard output and standard error, UTF-8, one line at a time, flushed at once.
namespace Output {

void line(FILE* stream, const QString& text);
void json(const QJsonObject& object);

// A command-line argument as the bytes the shell passed: paths stay byte-exact.
std::filesystem::path argumentPath(const QString& argument);

} // namespace Output

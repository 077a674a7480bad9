// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QJsonObject>
#include <QString>

#include <cstdio>
#include <filesystem>

// Writing to standard output and standard error, UTF-8, one line at a time, flushed at once.
namespace Output {

// One line of text. Invisible controls other than line feed and tab are written as escapes, so that
// whatever a file name, a server or a reply holds can neither steer the terminal nor disguise itself;
// a tab-separated field that may hold a tab or line feed itself goes through field() first.
void line(FILE* stream, const QString& text);
// The JSON document; the invisible controls that the JSON writer leaves as they are (DEL, C1, bidi and
// zero-width characters) are written as \u escapes, which any JSON reader turns back into the same text.
void json(const QJsonObject& object);
// text with every invisible control escaped, line feed and tab included: one field of a line.
QString field(const QString& text);

// A command-line argument as the bytes the shell passed: paths stay byte-exact.
std::filesystem::path argumentPath(const QString& argument);

} // namespace Output

// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/Output.h"

#include <QFile>
#include <QJsonDocument>

namespace Output {

void line(FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

void json(const QJsonObject& object)
{
    const QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Indented);
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

std::filesystem::path argumentPath(const QString& argument)
{
    return std::filesystem::path(QFile::encodeName(argument).toStdString());
}

} // namespace Output

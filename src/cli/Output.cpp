// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/Output.h"

#include "common/Text.h"

#include <QFile>
#include <QJsonDocument>

using namespace Qt::StringLiterals;

namespace Output {

void line(FILE* stream, const QString& text)
{
    const QByteArray bytes = Text::escapeInvisible(text, u"\n\t").toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

void json(const QJsonObject& object)
{
    // Outside strings a JSON document is plain ASCII, so every such character found is inside a string.
    const QString text = QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Indented));
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        if (c.unicode() >= 0x20 && Text::isInvisibleControl(c))
            escaped.append(u"\\u"_s + QString::number(c.unicode(), 16).rightJustified(4, u'0'));
        else
            escaped.append(c);
    }
    const QByteArray bytes = escaped.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

QString field(const QString& text)
{
    return Text::escapeInvisible(text);
}

std::filesystem::path argumentPath(const QString& argument)
{
    return std::filesystem::path(QFile::encodeName(argument).toStdString());
}

} // namespace Output

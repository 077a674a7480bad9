// SPDX-License-Identifier: GPL-3.0-or-later
#include "naming/NameBuilder.h"

#include "common/AppSettings.h"
#include "common/Text.h"
#include "common/VideoItem.h"

#include <QStringList>

using namespace Qt::StringLiterals;

namespace NameBuilder {

QString originalBaseName(const QString& fileName)
{
    // A leading dot marks a hidden file, not an extension; a trailing dot leaves no extension either.
    const qsizetype dot = fileName.lastIndexOf(u'.');
    if (dot <= 0 || dot == fileName.size() - 1)
        return fileName;
    return fileName.left(dot);
}

QString cleanName(const QString& name)
{
    QString out;
    out.reserve(name.size());
    for (const QChar c : name) {
        if (ForbiddenCharacters.contains(c))
            continue;
        out.append(c == u'\n' ? u' ' : c);
    }
    return Text::trimHorizontalSpace(out);
}

QString build(const VideoItem& item, const AppSettings& settings)
{
    QStringList parts;
    if (settings.includeDate && item.creationDate && item.creationDate->isValid()) {
        // QDate formats in the proleptic Gregorian calendar whatever the user's locale; the day is the
        // local calendar day of the capture instant.
        parts.append(item.creationDate->toLocalTime().date().toString(u"yyyy-MM-dd"_s));
    }
    if (settings.includeLocation && !item.location.isEmpty())
        parts.append(item.location);
    if (settings.includeContent && !item.content.isEmpty())
        parts.append(item.content);
    if (settings.includeOriginal)
        parts.append(originalBaseName(displayFileName(item.url)));
    parts.removeAll(QString());
    return cleanName(parts.join(settings.separator));
}

} // namespace NameBuilder

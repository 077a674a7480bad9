// SPDX-License-Identifier: GPL-3.0-or-later
#include "naming/NameBuilder.h"

#include "common/AppSettings.h"
#include "common/Text.h"
#include "common/VideoItem.h"

#include <QStringList>

#include <algorithm>

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
        if (c == u'\n' || c == u'\t' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            out.append(u' ');
        else if (!ForbiddenCharacters.contains(c) && !Text::isInvisibleControl(c))
            out.append(c);
    }
    qsizetype start = 0;
    while (start < out.size()
        && (out.at(start) == u'.' || out.at(start) == u'-' || Text::isHorizontalSpace(out.at(start))))
        ++start;
    return Text::trimHorizontalSpace(out.mid(start));
}

std::optional<QString> separatorProblem(const QString& separator)
{
    for (const QChar c : separator) {
        if (Text::isInvisibleControl(c) || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            return u"里有 Tab、换行等控制字符或不可见字符，不能用在文件名里"_s;
        if (ForbiddenCharacters.contains(c))
            return u"里有“"_s + c + u"”，文件名里不能有 / \\ : * ? \" < > |（会被删掉，各部分会连在一起）"_s;
    }
    return std::nullopt;
}

QString build(const VideoItem& item, const AppSettings& settings)
{
    return build(item, settings, NameBudget::recentLimitOf(item.url.parent_path()));
}

QString build(const VideoItem& item, const AppSettings& settings, const NameBudget::Limit& limit)
{
    enum class Part
    {
        Date,
        Location,
        Content,
        Original,
    };
    QList<std::pair<Part, QString>> parts;
    if (settings.includeDate && item.creationDate && item.creationDate->isValid()) {
        // QDate formats in the proleptic Gregorian calendar whatever the user's locale; the day is the
        // local calendar day of the capture instant.
        parts.append({ Part::Date, item.creationDate->toLocalTime().date().toString(u"yyyy-MM-dd"_s) });
    }
    if (settings.includeLocation)
        parts.append({ Part::Location, item.location });
    if (settings.includeContent)
        parts.append({ Part::Content, item.content });
    if (settings.includeOriginal)
        parts.append({ Part::Original, originalBaseName(displayFileName(item.url)) });

    auto assemble = [&] {
        QStringList texts;
        for (const auto& [part, text] : std::as_const(parts)) {
            if (!text.isEmpty())
                texts.append(text);
        }
        return cleanName(texts.join(settings.separator));
    };
    const qsizetype budget = NameBudget::baseBudget(item, limit);
    auto fits = [&](const QString& name) { return NameBudget::length(name, limit) <= budget; };
    QString name = assemble();
    for (const Part cutFirst : { Part::Original, Part::Content, Part::Location }) {
        if (fits(name))
            return name;
        const auto it = std::find_if(
            parts.begin(), parts.end(), [cutFirst](const auto& part) { return part.first == cutFirst; });
        if (it == parts.end() || it->second.isEmpty())
            continue;
        // The most characters of this part with which the whole name fits.
        const QString full = it->second;
        qsizetype low = 0;
        qsizetype high = Text::graphemeCount(full) - 1;
        while (low < high) {
            const qsizetype middle = (low + high + 1) / 2;
            it->second = Text::firstGraphemes(full, middle);
            if (fits(assemble()))
                low = middle;
            else
                high = middle - 1;
        }
        it->second = Text::firstGraphemes(full, low);
        name = assemble();
    }
    return NameBudget::cut(name, budget, limit);
}

QString fitName(const QString& proposed, qsizetype budget, const NameBudget::Limit& limit)
{
    QString name = proposed;
    // A NUL cannot be part of a file name; left in, it would cut the name short in every system call.
    name.remove(QChar(u'\0'));
    return NameBudget::cut(cleanName(name), budget, limit);
}

QString fileBaseName(const VideoItem& item, const QString& proposed)
{
    const NameBudget::Limit limit = NameBudget::recentLimitOf(item.url.parent_path());
    return fitName(proposed, NameBudget::baseBudget(item, limit), limit);
}

} // namespace NameBuilder

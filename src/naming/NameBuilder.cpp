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

namespace {

// The length of the valid UTF-8 sequence at i, or 0.
int sequenceLength(const std::string& bytes, std::size_t i)
{
    const auto at = [&](std::size_t k) { return k < bytes.size() ? quint8(bytes[k]) : 0; };
    const quint8 lead = at(i);
    const auto continues
        = [&](std::size_t k, quint8 low = 0x80, quint8 high = 0xbf) { return at(k) >= low && at(k) <= high; };
    if (lead < 0x80)
        return 1;
    if (lead >= 0xc2 && lead <= 0xdf)
        return continues(i + 1) ? 2 : 0;
    if (lead >= 0xe0 && lead <= 0xef) {
        // No overlong forms, no surrogates.
        const bool second = lead == 0xe0 ? continues(i + 1, 0xa0)
            : lead == 0xed               ? continues(i + 1, 0x80, 0x9f)
                                         : continues(i + 1);
        return second && continues(i + 2) ? 3 : 0;
    }
    if (lead >= 0xf0 && lead <= 0xf4) {
        const bool second = lead == 0xf0 ? continues(i + 1, 0x90)
            : lead == 0xf4               ? continues(i + 1, 0x80, 0x8f)
                                         : continues(i + 1);
        return second && continues(i + 2) && continues(i + 3) ? 4 : 0;
    }
    return 0;
}

// The text of bytes, and for each UTF-16 unit the offset of its bytes (-1 inside a surrogate pair);
// the last offset is the end.
QString decode(const std::string& bytes, std::vector<qsizetype>* offsets)
{
    QString text;
    for (std::size_t i = 0; i < bytes.size();) {
        const int length = sequenceLength(bytes, i);
        const QString piece = length > 0 ? QString::fromUtf8(bytes.data() + i, qsizetype(length))
                                         : QString(QChar::ReplacementCharacter);
        if (offsets) {
            offsets->push_back(qsizetype(i));
            for (qsizetype k = 1; k < piece.size(); ++k)
                offsets->push_back(-1);
        }
        text += piece;
        i += std::size_t(std::max(length, 1));
    }
    if (offsets)
        offsets->push_back(qsizetype(bytes.size()));
    return text;
}

} // namespace

std::string originalStem(const VideoItem& item)
{
    const std::string name = item.originalName.empty() ? item.url.filename().native() : item.originalName;
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot == name.size() - 1)
        return name;
    return name.substr(0, dot);
}

QString textOfName(const std::string& bytes)
{
    return decode(bytes, nullptr);
}

std::string nameBytes(const QString& name, const std::string& stem)
{
    std::vector<qsizetype> offsets;
    const QString text = decode(stem, &offsets);
    if (!text.contains(QChar::ReplacementCharacter))
        return name.toStdString();
    // The whole stem where it stands last, else the longest start of it that ends the name (a name too
    // long loses the end of its original part).
    qsizetype at = name.lastIndexOf(text);
    qsizetype length = text.size();
    if (at < 0) {
        for (length = std::min(name.size(), text.size() - 1); length > 0; --length) {
            if (offsets[std::size_t(length)] >= 0 && name.endsWith(QStringView(text).left(length)))
                break;
        }
        at = name.size() - length;
    }
    if (length == 0)
        return name.toStdString();
    return name.left(at).toStdString() + stem.substr(0, std::size_t(offsets[std::size_t(length)]))
        + name.mid(at + length).toStdString();
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
        parts.append({ Part::Original, textOfName(originalStem(item)) });

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
    return NameBudget::cut(cleanName(proposed), budget, limit);
}

QString fileBaseName(const VideoItem& item, const QString& proposed)
{
    const NameBudget::Limit limit = NameBudget::recentLimitOf(item.url.parent_path());
    return fitName(proposed, NameBudget::baseBudget(item, limit), limit);
}

} // namespace NameBuilder

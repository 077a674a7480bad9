// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/Text.h"

#include <QTextBoundaryFinder>

using namespace Qt::StringLiterals;

namespace Text {

bool isHorizontalSpace(QChar c)
{
    return c == u'\t' || c.category() == QChar::Separator_Space;
}

bool isSpaceOrTab(QChar c)
{
    return c == u' ' || c == u'\t';
}

bool isInvisibleControl(QChar c)
{
    const char16_t u = c.unicode();
    return u < 0x20 || (u >= 0x7f && u <= 0x9f) || u == 0x061c || (u >= 0x200b && u <= 0x200f)
        || (u >= 0x202a && u <= 0x202e) || (u >= 0x2060 && u <= 0x2069) || u == 0xfeff;
}

QString escapeInvisible(const QString& text, QStringView keep)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (!isInvisibleControl(c) || keep.contains(c)) {
            out.append(c);
        } else if (c == u'\n') {
            out.append(u"\\n"_s);
        } else if (c == u'\r') {
            out.append(u"\\r"_s);
        } else if (c == u'\t') {
            out.append(u"\\t"_s);
        } else if (c.unicode() <= 0xff) {
            out.append(u"\\x"_s + QString::number(c.unicode(), 16).rightJustified(2, u'0'));
        } else {
            out.append(u"\\u"_s + QString::number(c.unicode(), 16).rightJustified(4, u'0'));
        }
    }
    return out;
}

qsizetype graphemeCount(const QString& text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    while (finder.toNextBoundary() > 0)
        ++count;
    return count;
}

QString firstGraphemes(const QString& text, qsizetype count)
{
    if (count <= 0)
        return {};
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype seen = 0;
    for (qsizetype end = finder.toNextBoundary(); end >= 0; end = finder.toNextBoundary()) {
        if (++seen == count)
            return text.left(end);
    }
    return text;
}

QString trimmed(const QString& text, bool (*strip)(QChar))
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && strip(text.at(begin)))
        ++begin;
    while (end > begin && strip(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}

} // namespace Text

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// The trimming rules names and places share. Line breaks are never white space here: a name keeps them
// until its own clean-up decides.
namespace Text {

// Tab, space, and the other horizontal spaces (no-break, ideographic, …).
bool isHorizontalSpace(QChar c);
// Exactly the space and the tab.
bool isSpaceOrTab(QChar c);

// text without the characters at both ends for which strip is true.
QString trimmed(const QString& text, bool (*strip)(QChar));

// What a reader counts as characters: extended grapheme clusters.
qsizetype graphemeCount(const QString& text);
// The first count user-perceived characters of text (all of it when it has fewer).
QString firstGraphemes(const QString& text, qsizetype count);

inline QString trimHorizontalSpace(const QString& text)
{
    return trimmed(text, isHorizontalSpace);
}

inline QString trimSpacesAndTabs(const QString& text)
{
    return trimmed(text, isSpaceOrTab);
}

} // namespace Text

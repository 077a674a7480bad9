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

// The characters that steer a display without being seen: C0 and C1 controls, DEL, the bidirectional
// marks, embeddings, overrides and isolates, and the zero-width characters. A name never keeps them, and
// a terminal never receives them raw.
bool isInvisibleControl(QChar c);

// text with each invisible control written as a visible escape (\t, \n, \x1b, \u202e), except those in
// keep: what a terminal line may show of a text that came from a file, a server or a reply.
QString escapeInvisible(const QString& text, QStringView keep = {});

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

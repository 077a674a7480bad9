// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QColor>
#include <QString>

class QFont;
class QLabel;
class QWidget;

// Building blocks the secondary windows share: headings, help texts, captioned rows, the colours of
// their note lines and the checks of what a user types into them. Main thread only.
namespace FormParts {

// A section heading: semibold, in the secondary text colour.
QLabel* heading(const QString& text);
// A help text that wraps at width, one point smaller than the body text, in the secondary text colour.
QLabel* help(const QString& text, int width);
// A bold title, size points larger than the body text.
QLabel* title(const QString& text, int larger);
// caption (right-aligned, captionWidth wide) and control side by side; the control is named by the
// caption for screen readers.
QWidget* row(const QString& caption, QWidget* control, int captionWidth = 96);
// The body font, delta points larger (or smaller).
QFont font(const QWidget* widget, qreal delta);

// The colours of note lines: failures, successes, the work going on and everything else.
enum class Tone
{
    Neutral,
    Failure,
    Success,
    Busy,
};
// "❌ …" is a failure and "✅ …" a success; anything else neutral.
Tone toneOf(const QString& text);
void setText(QLabel* label, const QString& text, Tone tone);

// An http or https address with a host name, as the services are given; spaces around it are allowed.
bool isWebAddress(const QString& text);
// A name that can travel in a request: not empty after trimming, no white space or control character
// inside.
bool isPlainName(const QString& text);
// Printable ASCII only, as an HTTP header takes it: no blank, line break or control character.
bool isHeaderSafe(const QString& text);

} // namespace FormParts

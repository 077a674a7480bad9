// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/windows/FormParts.h"

#include "ui/widgets/Colours.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace FormParts {

QFont font(const QWidget* widget, qreal delta)
{
    QFont result = widget->font();
    result.setPointSizeF(std::max(7.0, result.pointSizeF() + delta));
    return result;
}

QLabel* heading(const QString& text)
{
    auto* label = new QLabel(text);
    QFont bold = label->font();
    bold.setWeight(QFont::DemiBold);
    label->setFont(bold);
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

QLabel* help(const QString& text, int width)
{
    auto* label = new QLabel(text);
    label->setFont(font(label, -1));
    label->setForegroundRole(QPalette::PlaceholderText);
    label->setWordWrap(true);
    label->setFixedWidth(width);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setTextFormat(Qt::PlainText);
    return label;
}

QLabel* title(const QString& text, int larger)
{
    auto* label = new QLabel(text);
    QFont bold = font(label, larger);
    bold.setBold(true);
    label->setFont(bold);
    return label;
}

QWidget* row(const QString& caption, QWidget* control, int captionWidth)
{
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    auto* label = new QLabel(caption);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setFixedWidth(captionWidth);
    label->setBuddy(control);
    layout->addWidget(label);
    layout->addWidget(control);
    layout->addStretch(1);
    if (!caption.isEmpty() && control->accessibleName().isEmpty())
        control->setAccessibleName(caption);
    return row;
}

Tone toneOf(const QString& text)
{
    if (text.startsWith(u"❌"))
        return Tone::Failure;
    if (text.startsWith(u"✅"))
        return Tone::Success;
    return Tone::Neutral;
}

void setText(QLabel* label, const QString& text, Tone tone)
{
    // Notes and failures quote servers and files: never markup.
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    QPalette palette = label->palette();
    const QPalette base; // the application's colours, whatever the label was given before
    QColor colour;
    switch (tone) {
    case Tone::Failure:
        colour = Colours::failure(base);
        break;
    case Tone::Success:
        colour = Colours::success(base);
        break;
    case Tone::Busy:
        colour = base.color(QPalette::Highlight);
        break;
    case Tone::Neutral:
        colour = base.color(QPalette::PlaceholderText);
        break;
    }
    palette.setColor(label->foregroundRole(), colour); // help texts draw in the placeholder colour
    label->setPalette(palette);
}

bool isWebAddress(const QString& text)
{
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    return url.isValid() && (url.scheme() == u"http" || url.scheme() == u"https") && !url.host().isEmpty();
}

bool isPlainName(const QString& text)
{
    const QString name = text.trimmed();
    if (name.isEmpty())
        return false;
    return std::none_of(name.cbegin(), name.cend(),
        [](QChar c) { return c.isSpace() || c.category() == QChar::Other_Control; });
}

bool isHeaderSafe(const QString& text)
{
    return std::all_of(
        text.cbegin(), text.cend(), [](QChar c) { return c.unicode() > 0x20 && c.unicode() < 0x7f; });
}

} // namespace FormParts

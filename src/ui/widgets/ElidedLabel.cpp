// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/widgets/ElidedLabel.h"

#include <QPainter>

ElidedLabel::ElidedLabel(QWidget* parent)
    : QLabel(parent)
{
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setTextFormat(Qt::PlainText);
}

void ElidedLabel::setFullText(const QString& text)
{
    if (text == this->text())
        return;
    setText(text);
    setToolTip(text);
}

QSize ElidedLabel::minimumSizeHint() const
{
    return { 0, fontMetrics().height() };
}

void ElidedLabel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setPen(palette().color(foregroundRole()));
    const QRect area = contentsRect();
    QString oneLine = text();
    oneLine.replace(u'\n', u' ');
    painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter,
        fontMetrics().elidedText(oneLine, Qt::ElideRight, area.width()));
}

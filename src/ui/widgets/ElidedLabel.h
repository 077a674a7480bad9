// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLabel>

// One line of text that shortens itself with "…" to the room it has instead of widening the window.
// Screen readers and the tool tip get the whole text.
class ElidedLabel : public QLabel
{
    Q_OBJECT

public:
    explicit ElidedLabel(QWidget* parent = nullptr);

    void setFullText(const QString& text);

    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

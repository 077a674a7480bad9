// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QImage>
#include <QWidget>

// A picture drawn as large as it fits, keeping its proportions, in a 16:9 box that grows up to its
// preferred width and shrinks when room is short.
class PictureView : public QWidget
{
    Q_OBJECT

public:
    PictureView(int preferredWidth, int minimumWidth, bool framed, QWidget* parent = nullptr);

    void setImage(const QImage& image);
    const QImage& image() const
    {
        return m_image;
    }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override;
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QImage m_image;
    QPixmap m_scaled; // m_image at the size last drawn
    int m_preferredWidth;
    int m_minimumWidth;
    bool m_framed;
};

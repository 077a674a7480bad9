// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/widgets/PictureView.h"

#include <QPainter>
#include <QPainterPath>

namespace {

int boxHeight(int width)
{
    return width * 9 / 16;
}

} // namespace

PictureView::PictureView(int preferredWidth, int minimumWidth, bool framed, QWidget* parent)
    : QWidget(parent)
    , m_preferredWidth(preferredWidth)
    , m_minimumWidth(minimumWidth)
    , m_framed(framed)
{
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    setMaximumWidth(preferredWidth);
}

void PictureView::setImage(const QImage& image)
{
    m_image = image;
    m_scaled = QPixmap();
    update();
}

QSize PictureView::sizeHint() const
{
    return { m_preferredWidth, boxHeight(m_preferredWidth) };
}

QSize PictureView::minimumSizeHint() const
{
    return { m_minimumWidth, boxHeight(m_minimumWidth) };
}

bool PictureView::hasHeightForWidth() const
{
    return true;
}

int PictureView::heightForWidth(int width) const
{
    return boxHeight(width);
}

void PictureView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    m_scaled = QPixmap();
}

void PictureView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRect box(0, 0, width(), std::min(height(), boxHeight(width())));
    if (!m_image.isNull()) {
        const qreal ratio = devicePixelRatioF();
        const QSize fitted = m_image.size().scaled(box.size(), Qt::KeepAspectRatio);
        if (m_scaled.isNull() || m_scaled.deviceIndependentSize().toSize() != fitted) {
            m_scaled = QPixmap::fromImage(
                m_image.scaled(fitted * ratio, Qt::KeepAspectRatio, Qt::SmoothTransformation));
            m_scaled.setDevicePixelRatio(ratio);
        }
        const QPoint at(box.left() + (box.width() - fitted.width()) / 2,
            box.top() + (box.height() - fitted.height()) / 2);
        painter.drawPixmap(at, m_scaled);
    }
    if (m_framed) {
        painter.setPen(QPen(palette().color(QPalette::Mid), 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(box).adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
    }
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/widgets/Icons.h"

#include "ui/widgets/Colours.h"

#include <QHash>
#include <QIconEngine>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

using namespace Qt::StringLiterals;

namespace {

// Draws the SVG at whatever size is asked, sharp on every screen scale, without the SVG icon plugin.
class SvgIconEngine : public QIconEngine
{
public:
    SvgIconEngine(const QString& resource, bool tinted)
        : m_resource(resource)
        , m_tinted(tinted)
    { }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override
    {
        QSvgRenderer renderer(m_resource);
        if (mode == QIcon::Disabled)
            painter->setOpacity(0.4);
        // The drawings are dark slate, made for light toolbars: on a dark one they take the text colour.
        const QPalette palette;
        if (!m_tinted || !Colours::isDark(palette)) {
            renderer.render(painter, rect);
            return;
        }
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        QImage image((QSizeF(rect.size()) * ratio).toSize(), QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(ratio);
        image.fill(Qt::transparent);
        QPainter tint(&image);
        const QRectF area(QPointF(), QSizeF(rect.size()));
        renderer.render(&tint, area);
        tint.setCompositionMode(QPainter::CompositionMode_SourceIn);
        tint.fillRect(area, palette.color(QPalette::ButtonText));
        tint.end();
        painter->drawImage(QRectF(rect), image);
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        QPixmap pixmap(size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        paint(&painter, QRect(QPoint(), size), mode, state);
        return pixmap;
    }

    QIconEngine* clone() const override
    {
        return new SvgIconEngine(m_resource, m_tinted);
    }

private:
    QString m_resource;
    bool m_tinted;
};

} // namespace

namespace Icons {

QIcon themed(const QString& themeName, const QString& fallback)
{
    if (QIcon::hasThemeIcon(themeName))
        return QIcon::fromTheme(themeName);
    // The heart keeps its colour; the grey media placeholders read on either background.
    const bool tinted = fallback != u"heart" && fallback != u"photo" && fallback != u"video";
    return QIcon(new SvgIconEngine(u":/icons/"_s + fallback + u".svg"_s, tinted));
}

} // namespace Icons

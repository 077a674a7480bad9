// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/widgets/Icons.h"

#include <QHash>
#include <QIconEngine>
#include <QPainter>
#include <QSvgRenderer>

using namespace Qt::StringLiterals;

namespace {

// Draws the SVG at whatever size is asked, sharp on every screen scale, without the SVG icon plugin.
class SvgIconEngine : public QIconEngine
{
public:
    explicit SvgIconEngine(const QString& resource)
        : m_resource(resource)
    { }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override
    {
        QSvgRenderer renderer(m_resource);
        if (mode == QIcon::Disabled)
            painter->setOpacity(0.4);
        renderer.render(painter, rect);
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
        return new SvgIconEngine(m_resource);
    }

private:
    QString m_resource;
};

} // namespace

namespace Icons {

QIcon themed(const QString& themeName, const QString& fallback)
{
    if (QIcon::hasThemeIcon(themeName))
        return QIcon::fromTheme(themeName);
    return QIcon(new SvgIconEngine(u":/icons/"_s + fallback + u".svg"_s));
}

} // namespace Icons

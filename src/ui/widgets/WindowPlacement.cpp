// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/widgets/WindowPlacement.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <algorithm>

namespace WindowPlacement {

QPoint centredOver(const QRect& parent, const QSize& frame, const QRect& available, int verticalOffset)
{
    int x = parent.center().x() + 1 - frame.width() / 2;
    int y = parent.center().y() + 1 - frame.height() / 2 + verticalOffset;
    if (available.isValid()) {
        const int left = available.left() + ScreenMargin;
        const int top = available.top() + ScreenMargin;
        x = std::min(std::max(x, left), std::max(left, available.right() + 1 - frame.width() - ScreenMargin));
        y = std::min(std::max(y, top), std::max(top, available.bottom() + 1 - frame.height() - ScreenMargin));
    }
    return { x, y };
}

void attachTo(QWidget* window, QWidget* parent, int verticalOffset)
{
    if (!window)
        return;
    window->adjustSize();
    // The frame is only known once the window manager decorated the window; until then, the widget's
    // own size stands for it.
    const QSize frame = window->frameGeometry().size().expandedTo(window->size());
    if (!parent || !parent->isVisible() || parent->isMinimized()) {
        QScreen* screen = parent && parent->screen() ? parent->screen() : QGuiApplication::primaryScreen();
        const QRect available = screen ? screen->availableGeometry() : QRect();
        window->move(centredOver(available, frame, available, 0));
        return;
    }
    if (window->parentWidget() != parent) {
        window->setParent(parent, window->windowFlags() | Qt::Window);
    }
    QScreen* screen = parent->screen() ? parent->screen() : window->screen();
    const QRect available = screen ? screen->availableGeometry() : QRect();
    window->move(centredOver(parent->frameGeometry(), frame, available, verticalOffset));
}

} // namespace WindowPlacement

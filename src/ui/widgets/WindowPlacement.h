// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QRect>

class QWidget;

namespace WindowPlacement {

constexpr int ScreenMargin = 8;

// Where a window of size frame goes over a parent window's frame: centred (moved down by
// verticalOffset), then kept ScreenMargin inside the available area; a window larger than the area
// keeps its top-left corner inside it.
QPoint centredOver(const QRect& parent, const QSize& frame, const QRect& available, int verticalOffset);

// Places a secondary window over the main window as above and keeps it above it (a transient child);
// with no visible main window it is centred on the screen.
void attachTo(QWidget* window, QWidget* parent, int verticalOffset = 0);

} // namespace WindowPlacement

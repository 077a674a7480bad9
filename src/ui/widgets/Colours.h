// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QColor>
#include <QPalette>

// The few colours the window draws itself, chosen per palette so that they read on light and dark
// desktops alike. Free functions of a palette; main thread only (they read the application palette).
namespace Colours {

// A window or base colour darker than mid-grey.
bool isDark(const QPalette& palette = {});
QColor failure(const QPalette& palette = {});
QColor success(const QPalette& palette = {});
// The highlight colour, lightened or darkened until it reads as text on the base colour.
QColor accent(const QPalette& palette = {}, QPalette::ColorGroup group = QPalette::Active);

} // namespace Colours

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QIcon>
#include <QString>

// Icons from the desktop's icon theme, with pictures of our own where the theme has none (a bare
// window manager, a container), so that the toolbar never shows empty buttons.
namespace Icons {

// The theme icon named themeName, else the bundled SVG ":/icons/<fallback>.svg".
QIcon themed(const QString& themeName, const QString& fallback);

} // namespace Icons

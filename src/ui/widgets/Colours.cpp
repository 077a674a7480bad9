// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/widgets/Colours.h"

namespace Colours {

bool isDark(const QPalette& palette)
{
    return palette.color(QPalette::Base).lightness() < 128
        || palette.color(QPalette::Window).lightness() < 128;
}

QColor failure(const QPalette& palette)
{
    return isDark(palette) ? QColor(0xff, 0x6b, 0x61) : QColor(0xd7, 0x26, 0x1e);
}

QColor success(const QPalette& palette)
{
    return isDark(palette) ? QColor(0x74, 0xc7, 0x7a) : QColor(0x2e, 0x7d, 0x32);
}

QColor accent(const QPalette& palette, QPalette::ColorGroup group)
{
    QColor colour = palette.color(group, QPalette::Highlight).toHsl();
    // Highlight is made to fill behind text; as text itself it must stand apart from the base.
    const bool dark = isDark(palette);
    const int lightness = dark ? std::max(colour.lightness(), 170) : std::min(colour.lightness(), 110);
    colour.setHsl(colour.hslHue(), colour.hslSaturation(), lightness);
    return colour.toRgb();
}

} // namespace Colours

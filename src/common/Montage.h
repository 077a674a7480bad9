// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>

// The grid picture of one video's frames, as sent to the vision model.
struct Montage
{
    QByteArray jpeg;
    int columns = 0;
    int rows = 0;
    int frameCount = 0; // frames actually placed
    int width = 0; // canvas size in pixels
    int height = 0;
};

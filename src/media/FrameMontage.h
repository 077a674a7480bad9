// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/Montage.h"

#include <QByteArrayList>

#include <optional>

// Composes a video's frames into one grid picture, so the vision model gets one image per video.
// Stateless free functions: safe on any thread, never throw.
namespace FrameMontage {

struct Layout
{
    int columns = 1;
    int rows = 1;
    int cellWidth = 0;
    int cellHeight = 0;
    int width = 0; // canvas
    int height = 0;
};

constexpr int PixelBudget = 921'600; // all cells together: the area of 1280 × 720
constexpr int Spacing = 6; // outer margin and gap between cells

// The grid for count ≥ 2 pictures: 16:9 cells sharing the pixel budget.
Layout layoutFor(int count);

// The frames (JPEG data, in time order) that decode, fitted into the cells row by row on black and
// encoded at quality 0..1. A single decodable frame is re-encoded as it is. Nothing when no frame
// decodes or encoding fails.
std::optional<Montage> compose(const QByteArrayList& frames, double quality);

} // namespace FrameMontage

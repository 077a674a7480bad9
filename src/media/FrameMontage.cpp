// SPDX-License-Identifier: GPL-3.0-or-later
#include "media/FrameMontage.h"

#include "media/ImageCodec.h"
#include "media/MediaLibraries.h"

#include <cmath>
#include <vector>

using ImageCodec::ImagePtr;

namespace FrameMontage {

namespace {

constexpr std::chrono::seconds Budget { 20 };

// Decodes completely now, so that a damaged frame is dropped here rather than failing the whole canvas.
ImagePtr decode(const QByteArray& data)
{
    if (data.isEmpty())
        return nullptr;
    if (ImageCodec::classifyLoader(vips_foreign_find_load_buffer(data.constData(), size_t(data.size())))
        == ImageCodec::Loader::Refused) {
        ImageCodec::forgetErrors();
        return nullptr;
    }
    ImagePtr image(vips_image_new_from_buffer(data.constData(), size_t(data.size()), "", nullptr));
    if (!image || !ImageCodec::withinPixelLimit(image.get())) {
        ImageCodec::forgetErrors();
        return nullptr;
    }
    ImagePtr rgb = ImageCodec::toRgb8(image.get());
    if (!rgb)
        return nullptr;
    // Three bands throughout, so that grey frames can share the canvas.
    if (vips_image_get_bands(rgb.get()) == 1) {
        VipsImage* out = nullptr;
        if (vips_colourspace(rgb.get(), &out, VIPS_INTERPRETATION_sRGB, nullptr)) {
            ImageCodec::forgetErrors();
            return nullptr;
        }
        rgb.reset(out);
    }
    VipsImage* memory = vips_image_copy_memory(rgb.get());
    if (!memory) {
        ImageCodec::forgetErrors();
        return nullptr;
    }
    return ImagePtr(memory);
}

std::optional<Montage> composeDecoded(const std::vector<ImagePtr>& pictures, double quality)
{
    const ImageCodec::Clock::time_point deadline = ImageCodec::Clock::now() + Budget;
    const int jpegQuality = ImageCodec::jpegQuality(quality);
    const int n = int(pictures.size());
    if (n == 1) {
        QByteArray jpeg = ImageCodec::encodeJpeg(pictures.front().get(), jpegQuality, deadline);
        if (jpeg.isEmpty())
            return std::nullopt;
        return Montage { jpeg, 1, 1, 1, vips_image_get_width(pictures.front().get()),
            vips_image_get_height(pictures.front().get()) };
    }

    const Layout layout = layoutFor(n);
    if (layout.width < 1 || layout.height < 1)
        return std::nullopt;
    VipsImage* black = nullptr;
    if (vips_black(&black, layout.width, layout.height, "bands", 3, nullptr)) {
        ImageCodec::forgetErrors();
        return std::nullopt;
    }
    ImagePtr canvas(black);
    VipsImage* typed = nullptr;
    if (vips_cast(canvas.get(), &typed, VIPS_FORMAT_UCHAR, nullptr)) {
        ImageCodec::forgetErrors();
        return std::nullopt;
    }
    canvas.reset(typed);
    canvas->Type = VIPS_INTERPRETATION_sRGB;

    for (int k = 0; k < n; ++k) {
        VipsImage* picture = pictures[size_t(k)].get();
        const int row = k / layout.columns;
        const int column = k - row * layout.columns;
        const int cellLeft = Spacing + column * (layout.cellWidth + Spacing);
        const int cellTop = Spacing + row * (layout.cellHeight + Spacing);
        const double width = vips_image_get_width(picture);
        const double height = vips_image_get_height(picture);
        // Aspect fit, centred; a small frame is enlarged to its cell like a large one is reduced.
        const double scale = std::min(layout.cellWidth / width, layout.cellHeight / height);
        const double centreX = cellLeft + layout.cellWidth / 2.0;
        const double centreY = cellTop + layout.cellHeight / 2.0;
        const int left = int(std::lround(centreX - width * scale / 2));
        const int top = int(std::lround(centreY - height * scale / 2));
        const int drawnWidth = std::max(1, int(std::lround(centreX + width * scale / 2)) - left);
        const int drawnHeight = std::max(1, int(std::lround(centreY + height * scale / 2)) - top);
        ImagePtr fitted = ImageCodec::resizeExact(picture, drawnWidth, drawnHeight);
        if (!fitted)
            return std::nullopt;
        VipsImage* placed = nullptr;
        if (vips_insert(canvas.get(), fitted.get(), &placed, left, top, nullptr)) {
            ImageCodec::forgetErrors();
            return std::nullopt;
        }
        canvas.reset(placed);
    }
    QByteArray jpeg = ImageCodec::encodeJpeg(canvas.get(), jpegQuality, deadline);
    if (jpeg.isEmpty())
        return std::nullopt;
    return Montage { jpeg, layout.columns, layout.rows, n, layout.width, layout.height };
}

} // namespace

Layout layoutFor(int count)
{
    Layout layout;
    layout.columns = count <= 2 ? std::max(count, 1) : count <= 4 ? 2 : 3;
    layout.rows = (std::max(count, 1) + layout.columns - 1) / layout.columns;
    const double cellArea = double(PixelBudget) / (layout.columns * layout.rows);
    const double cellWidth = std::round(std::sqrt(cellArea * 16.0 / 9.0));
    const double cellHeight = std::round(cellWidth / (16.0 / 9.0));
    layout.cellWidth = int(cellWidth);
    layout.cellHeight = int(cellHeight);
    layout.width = (layout.columns + 1) * Spacing + layout.cellWidth * layout.columns;
    layout.height = (layout.rows + 1) * Spacing + layout.cellHeight * layout.rows;
    return layout;
}

std::optional<Montage> compose(const QByteArrayList& frames, double quality)
{
    if (frames.isEmpty())
        return std::nullopt;
    MediaLibraries::initialize();
    std::optional<Montage> montage;
    try {
        std::vector<ImagePtr> pictures;
        for (const QByteArray& frame : frames) {
            if (ImagePtr picture = decode(frame))
                pictures.push_back(std::move(picture));
        }
        if (!pictures.empty())
            montage = composeDecoded(pictures, quality);
    } catch (...) {
        montage.reset();
    }
    vips_thread_shutdown();
    return montage;
}

} // namespace FrameMontage

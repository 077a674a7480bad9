// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "media/ImageCodec.h"

#include <QByteArray>

#include <vector>

// Decodes a JPEG the tests got back and measures it: size and mean colour of regions.
struct PictureProbe
{
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;

    static PictureProbe decode(const QByteArray& jpeg)
    {
        PictureProbe probe;
        ImageCodec::ImagePtr image(
            vips_image_new_from_buffer(jpeg.constData(), size_t(jpeg.size()), "", nullptr));
        if (!image)
            return probe;
        ImageCodec::ImagePtr ready = ImageCodec::toRgb8(image.get());
        VipsImage* out = nullptr;
        if (ready && vips_image_get_bands(ready.get()) == 1
            && vips_colourspace(ready.get(), &out, VIPS_INTERPRETATION_sRGB, nullptr) == 0)
            ready.reset(out);
        if (!ready || vips_image_get_bands(ready.get()) != 3)
            return probe;
        size_t size = 0;
        void* memory = vips_image_write_to_memory(ready.get(), &size);
        if (!memory)
            return probe;
        probe.width = vips_image_get_width(ready.get());
        probe.height = vips_image_get_height(ready.get());
        probe.rgb.assign(static_cast<unsigned char*>(memory), static_cast<unsigned char*>(memory) + size);
        g_free(memory);
        return probe;
    }

    bool isValid() const
    {
        return width > 0 && height > 0;
    }

    // Mean of one channel (0 red, 1 green, 2 blue) over [x0, x1) × [y0, y1), in fractions of the size.
    double mean(int channel, double x0 = 0, double y0 = 0, double x1 = 1, double y1 = 1) const
    {
        const int left = int(x0 * width), right = std::max(left + 1, int(x1 * width));
        const int top = int(y0 * height), bottom = std::max(top + 1, int(y1 * height));
        double sum = 0;
        int n = 0;
        for (int y = top; y < bottom && y < height; ++y) {
            for (int x = left; x < right && x < width; ++x) {
                sum += rgb[(size_t(y) * width + x) * 3 + channel];
                ++n;
            }
        }
        return n ? sum / n : 0;
    }

    // Mean of one channel over a rectangle given in pixels.
    double meanPixels(int channel, int x0, int y0, int x1, int y1) const
    {
        return mean(
            channel, double(x0) / width, double(y0) / height, double(x1) / width, double(y1) / height);
    }

    // Whether the region is mostly red (red high, green and blue low).
    bool isRed(double x0, double y0, double x1, double y1) const
    {
        return mean(0, x0, y0, x1, y1) > 150 && mean(1, x0, y0, x1, y1) < 80 && mean(2, x0, y0, x1, y1) < 80;
    }
};

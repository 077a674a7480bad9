// SPDX-License-Identifier: GPL-3.0-or-later
// The photo opener: libvips' loaders, the ImageMagick fallback and, under a camera RAW name, LibRaw.

#include "FuzzFile.h"
#include "media/FrameExtractor.h"

#include <cstdlib>

namespace {

// Small enough that the seeds are scaled down (the thumbnail path) and larger than some of them.
constexpr int MaxSize = 96;

bool isJpeg(const QByteArray& data)
{
    return data.size() >= 4 && data.startsWith("\xFF\xD8") && data.endsWith("\xFF\xD9");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto input = FuzzFile::split(data, size, FuzzFile::PhotoExtensions);
    if (!input)
        return -1;
    const QByteArray jpeg = FrameExtractor::extractImage(FuzzFile::write(*input), MaxSize);
    if (!jpeg.isEmpty() && !isJpeg(jpeg))
        std::abort();
    return 0;
}

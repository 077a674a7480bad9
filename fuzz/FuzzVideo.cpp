// SPDX-License-Identifier: GPL-3.0-or-later
// The video opener: FFmpeg's demuxers and decoders behind durationSeconds and extractFrames.

#include "FuzzFile.h"
#include "media/FrameExtractor.h"
#include "media/VideoFrames.h"

#include <cstdlib>

namespace {

constexpr int FrameCount = 2;
// extractFrames with a shorter budget and one worker: a fuzzer wants many inputs a second, and an
// input that outlasts the budget is still caught by libFuzzer's own time-out.
constexpr std::chrono::seconds Budget { 5 };

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto input = FuzzFile::split(data, size, FuzzFile::VideoExtensions);
    if (!input)
        return -1;
    const std::filesystem::path path = FuzzFile::write(*input);
    if (const std::optional<double> duration = FrameExtractor::durationSeconds(path);
        duration && !(*duration > 0))
        std::abort();
    const QByteArrayList frames = VideoFrames::extract(path, FrameCount, Budget, nullptr, 1);
    if (frames.size() > FrameCount)
        std::abort();
    for (const QByteArray& frame : frames) {
        if (!frame.startsWith("\xFF\xD8"))
            std::abort();
    }
    return 0;
}

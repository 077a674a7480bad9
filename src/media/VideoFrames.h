// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArrayList>

#include <chrono>
#include <filesystem>
#include <optional>
#include <vector>

// Exact-instant frame grabbing with FFmpeg, behind FrameExtractor::extractFrames. Internal to the
// media module; exposed for tests and benchmarks, which need the budget and the counters.
namespace VideoFrames {

constexpr int MinFrames = 1;
constexpr int MaxFrames = 12;
constexpr int BoxSize = 640;
constexpr int JpegQuality = 72;
constexpr std::chrono::milliseconds DefaultBudget { 30'000 };

struct Stats
{
    int framesDecoded = 0; // pictures handed to the decoder, over all instants
    int packetsToInstants = 0; // pictures from each instant's key frame up to the one shown then
    int instantsFound = 0;
};

// The n instants D·i/(n+1), i = 1..n, in seconds from the start, each rounded to 1/600 s.
std::vector<double> instants(double duration, int count);

// Length of the clip in seconds; nothing when unknown, not positive, or the file has no video stream.
std::optional<double> duration(const std::filesystem::path& video);

// JPEG frames, in time order, of the pictures on screen at instants(duration, clamped count), upright
// and within 640 × 640. A picture that cannot be decoded in time is left out; when none can, the first
// picture that decodes stands in.
QByteArrayList extract(const std::filesystem::path& video,
    int count,
    std::chrono::milliseconds budget = DefaultBudget,
    Stats* stats = nullptr,
    int maxWorkers = 0);

} // namespace VideoFrames

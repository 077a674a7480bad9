// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Tells from the bitstream alone whether a compressed H.264 or HEVC picture is disposable: no later
// picture refers to it, so a decoder on its way to another picture may skip it. Pure functions.
namespace NalUnits {

enum class Codec
{
    H264,
    Hevc,
};

struct StreamLayout
{
    Codec codec = Codec::H264;
    // Bytes of each NAL length prefix (avcC/hvcC), or 0 for start-code (Annex B) streams.
    int lengthSize = 0;
    // Highest HEVC temporal sub-layer, or -1 when unknown (then no HEVC picture counts as disposable).
    int hevcHighestTemporalId = -1;
};

// The layout from the codec's extradata (avcC, hvcC or Annex B parameter sets).
StreamLayout layoutFromExtradata(Codec codec, std::span<const uint8_t> extradata);

// Learns what in-band parameter sets say (Annex B streams such as MPEG-TS carry them in packets).
void updateFromPacket(StreamLayout& layout, std::span<const uint8_t> packet);

// True only when every picture slice in the packet is a non-reference one (H.264 nal_ref_idc 0; HEVC
// sub-layer non-reference at the highest temporal sub-layer). Anything unclear counts as needed.
bool isDisposable(const StreamLayout& layout, std::span<const uint8_t> packet);

} // namespace NalUnits

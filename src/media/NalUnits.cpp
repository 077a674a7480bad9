// SPDX-License-Identifier: GPL-3.0-or-later
#include "media/NalUnits.h"

#include <cstdint>
#include <functional>

namespace NalUnits {

namespace {

constexpr size_t NoStart = SIZE_MAX;

using Visitor = std::function<bool(std::span<const uint8_t> nal)>;

// Calls visit for each NAL unit until it returns false. False when the framing is broken.
bool forEachNal(int lengthSize, std::span<const uint8_t> data, const Visitor& visit)
{
    if (lengthSize > 0) {
        size_t pos = 0;
        while (pos < data.size()) {
            if (data.size() - pos < size_t(lengthSize))
                return false;
            size_t length = 0;
            for (int i = 0; i < lengthSize; ++i)
                length = (length << 8) | data[pos + i];
            pos += lengthSize;
            if (length == 0 || length > data.size() - pos)
                return false;
            if (!visit(data.subspan(pos, length)))
                return true;
            pos += length;
        }
        return true;
    }
    // Annex B: units start after 00 00 01; a trailing zero byte belongs to the next start code.
    size_t start = NoStart;
    auto emit = [&](size_t end) {
        while (end > start && data[end - 1] == 0)
            --end;
        return end <= start || visit(data.subspan(start, end - start));
    };
    for (size_t i = 0; i + 2 < data.size(); ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            if (start != NoStart && !emit(i))
                return true;
            start = i + 3;
            i += 2;
        }
    }
    if (start == NoStart)
        return false;
    emit(data.size());
    return true;
}

constexpr int HevcVps = 32;
constexpr int HevcSps = 33;

// sps_max_sub_layers_minus1 sits in the first payload byte, before any emulation prevention can occur.
void readHevcSps(StreamLayout& layout, std::span<const uint8_t> nal)
{
    if (nal.size() >= 3 && ((nal[0] >> 1) & 0x3f) == HevcSps)
        layout.hevcHighestTemporalId = (nal[2] >> 1) & 0x07;
}

StreamLayout hevcLayout(std::span<const uint8_t> extra)
{
    StreamLayout layout { Codec::Hevc, 0, -1 };
    // hvcC: version 1, then 21 bytes of profile data, the length size, and arrays of parameter sets.
    if (extra.size() >= 23 && extra[0] == 1) {
        layout.lengthSize = (extra[21] & 0x03) + 1;
        size_t pos = 23;
        for (int array = 0; array < extra[22] && pos + 3 <= extra.size(); ++array) {
            const int count = (extra[pos + 1] << 8) | extra[pos + 2];
            pos += 3;
            for (int i = 0; i < count && pos + 2 <= extra.size(); ++i) {
                const size_t length = (extra[pos] << 8) | extra[pos + 1];
                pos += 2;
                if (length > extra.size() - pos)
                    return layout;
                readHevcSps(layout, extra.subspan(pos, length));
                pos += length;
            }
        }
        return layout;
    }
    forEachNal(0, extra, [&](std::span<const uint8_t> nal) {
        readHevcSps(layout, nal);
        return true;
    });
    return layout;
}

} // namespace

StreamLayout layoutFromExtradata(Codec codec, std::span<const uint8_t> extradata)
{
    if (codec == Codec::Hevc)
        return hevcLayout(extradata);
    StreamLayout layout { Codec::H264, 0, -1 };
    // avcC starts with version 1; Annex B extradata starts with a zero byte.
    if (extradata.size() >= 7 && extradata[0] == 1)
        layout.lengthSize = (extradata[4] & 0x03) + 1;
    return layout;
}

void updateFromPacket(StreamLayout& layout, std::span<const uint8_t> packet)
{
    if (layout.codec != Codec::Hevc || layout.lengthSize != 0)
        return;
    forEachNal(0, packet, [&](std::span<const uint8_t> nal) {
        const int type = (nal[0] >> 1) & 0x3f;
        if (type == HevcSps)
            readHevcSps(layout, nal);
        // Parameter sets come first; stop at the first slice.
        return type >= HevcVps;
    });
}

bool isDisposable(const StreamLayout& layout, std::span<const uint8_t> packet)
{
    int slices = 0;
    bool disposable = true;
    const bool framed = forEachNal(layout.lengthSize, packet, [&](std::span<const uint8_t> nal) {
        if (layout.codec == Codec::H264) {
            const int type = nal[0] & 0x1f;
            const int refIdc = (nal[0] >> 5) & 0x03;
            if (type == 1 || type == 5) {
                ++slices;
                disposable = refIdc == 0 && type != 5;
            } else if (type == 20 || type == 21) {
                disposable = false; // layered extensions: their references are not ours to judge
            }
        } else {
            if (nal.size() < 2)
                return true;
            const int type = (nal[0] >> 1) & 0x3f;
            const int layerId = ((nal[0] & 0x01) << 5) | (nal[1] >> 3);
            const int temporalId = (nal[1] & 0x07) - 1;
            if (type <= 31) {
                ++slices;
                // Types 0..14 that are even are sub-layer non-reference pictures; only at the highest
                // sub-layer can nothing above them refer to them.
                disposable = layerId == 0 && type <= 14 && type % 2 == 0 && layout.hevcHighestTemporalId >= 0
                    && temporalId == layout.hevcHighestTemporalId;
            }
        }
        return disposable;
    });
    return framed && disposable && slices > 0;
}

} // namespace NalUnits

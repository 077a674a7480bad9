// SPDX-License-Identifier: GPL-3.0-or-later
#include "media/VideoFrames.h"

#include "media/ImageCodec.h"
#include "media/MediaFiles.h"
#include "media/MediaLibraries.h"
#include "media/NalUnits.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

namespace VideoFrames {

namespace {

using Clock = ImageCodec::Clock;

struct CodecFree
{
    void operator()(AVCodecContext* context) const
    {
        avcodec_free_context(&context);
    }
};
struct FrameFree
{
    void operator()(AVFrame* frame) const
    {
        av_frame_free(&frame);
    }
};
struct PacketFree
{
    void operator()(AVPacket* packet) const
    {
        av_packet_free(&packet);
    }
};
struct ScalerFree
{
    void operator()(SwsContext* context) const
    {
        sws_freeContext(context);
    }
};
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using ScalerPtr = std::unique_ptr<SwsContext, ScalerFree>;

// H.264 and HEVC reorder at most 16 pictures: after that many pictures later than the instant, no
// earlier one can follow.
constexpr int ReorderLimit = 16;
// Packets held back until it is clear whether they are needed.
constexpr size_t LookAhead = 48;

// Where a source pixel lands on screen, from the stream's display matrix: x' = a·x + c·y, y' = b·x + d·y
// (each coefficient −1, 0 or 1), shifted back into the picture. Identity for anything but quarter turns
// and mirrors.
struct Placement
{
    int a = 1, b = 0, c = 0, d = 1;

    bool swapsAxes() const
    {
        return a == 0;
    }
};

Placement placementOf(const AVStream* stream)
{
    size_t size = 0;
    const auto* matrix
        = reinterpret_cast<const int32_t*>(av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size));
    if (!matrix || size < 9 * sizeof(int32_t))
        return {};
    auto unit = [](int32_t value) { return value > 32768 ? 1 : value < -32768 ? -1 : 0; };
    const Placement p { unit(matrix[0]), unit(matrix[1]), unit(matrix[3]), unit(matrix[4]) };
    const bool straight = p.a != 0 && p.d != 0 && p.b == 0 && p.c == 0;
    const bool turned = p.a == 0 && p.d == 0 && p.b != 0 && p.c != 0;
    return straight || turned ? p : Placement {};
}

// The value of an enumeration field as FFmpeg stored it. Damaged streams put numbers there that the
// enumeration does not name, and reading such a field as the enumeration is undefined.
template <typename Enum> int rawValue(const Enum& field)
{
    static_assert(sizeof(Enum) == sizeof(int));
    int value = 0;
    std::memcpy(&value, &field, sizeof value);
    return value;
}

int swsColorspace(int space, int height)
{
    switch (space) {
    case AVCOL_SPC_BT709:
        return SWS_CS_ITU709;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
        return SWS_CS_BT2020;
    case AVCOL_SPC_SMPTE240M:
        return SWS_CS_SMPTE240M;
    case AVCOL_SPC_FCC:
        return SWS_CS_FCC;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
        return SWS_CS_ITU601;
    default:
        // Untagged video: high definition is BT.709 in practice, standard definition BT.601.
        return height >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601;
    }
}

// The coding type of an MPEG-4 Part 2 picture (0 intra, 1 predicted, 2 bidirectional, 3 sprite), or −1.
int vopType(std::span<const uint8_t> data)
{
    for (size_t i = 0; i + 4 < data.size(); ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && data[i + 3] == 0xB6)
            return data[i + 4] >> 6;
    }
    return -1;
}

struct Pending
{
    PacketPtr packet;
    int64_t pts = AV_NOPTS_VALUE;
    int64_t sequence = 0;
    bool disposable = false;
};

class Clip
{
public:
    static std::unique_ptr<Clip> open(
        const std::filesystem::path& file, const Clock::time_point* deadline, int decoderThreads);

    double durationSeconds() const
    {
        return m_duration;
    }

    // The picture on screen at this many seconds after the start, as JPEG; empty when it fails.
    QByteArray grab(double seconds, Stats& stats);

private:
    enum class Outcome
    {
        Done,
        NeedEarlier,
        Failed,
    };

    Outcome decodeFrom(
        int64_t target, bool acceptLateStart, FramePtr& picture, int64_t& keyPts, Stats& stats);
    bool rewind();
    bool send(AVPacket* packet, int64_t target, Stats& stats);
    void keep(FramePtr frame, int64_t target);
    void place(FramePtr frame, int64_t target);
    int64_t countedIndex(int64_t target) const;
    FramePtr takeCounted(int64_t index);
    QByteArray encode(const AVFrame* frame) const;
    bool expired() const
    {
        return Clock::now() > *m_deadline;
    }

    MediaFiles::FormatContext m_format;
    CodecPtr m_decoder;
    AVStream* m_stream = nullptr;
    const Clock::time_point* m_deadline = nullptr;
    NalUnits::StreamLayout m_layout;
    bool m_canSkip = false;
    double m_duration = 0;
    int64_t m_origin = 0; // the clip's zero, in stream ticks
    int64_t m_streamStart = 0; // the first picture's time, in stream ticks
    int64_t m_end = 0; // where the container says the clip ends, in stream ticks
    Placement m_placement;
    // AVI stores no presentation times, only the order of decoding; its pictures are shown one frame
    // duration apart, so the n-th picture out of the decoder after a key frame is shown n frames later.
    // MPEG program streams time only some pictures, and their demuxer at times hands a time to the
    // neighbouring picture or derives others from such a time. Pictures there are counted too, and the
    // zero of the count is the one most timed pictures agree on.
    bool m_countPictures = false;
    bool m_partlyTimed = false;
    // MPEG-4 Part 2 in AVI: a key frame flag is not taken on trust, the picture header says whether it
    // is intra. An intra picture there is shown just before the next reference picture's place in the
    // file, after the bidirectional ones between them, which the decoder drops when starting there.
    bool m_vopTypes = false;
    int64_t m_frameTicks = 0;
    int64_t m_countFrom = 0;
    int64_t m_pictures = 0;
    int64_t m_lastShown = AV_NOPTS_VALUE;

    // Per grab: the best candidates among decoded pictures.
    FramePtr m_atOrBefore; // latest picture not after the instant
    FramePtr m_earliest; // earliest picture after it, for instants before the first picture
    FramePtr m_untimed; // last picture without a time
    // Counted pictures: the latest ones by their count, one older one that was the instant's when it
    // left, and how many timed pictures name each zero.
    std::deque<std::pair<int64_t, FramePtr>> m_recent;
    std::pair<int64_t, FramePtr> m_held;
    std::map<int64_t, int> m_votes;
    int64_t m_zero = AV_NOPTS_VALUE;
    int m_zeroVotes = 0;
};

std::unique_ptr<Clip> Clip::open(
    const std::filesystem::path& file, const Clock::time_point* deadline, int decoderThreads)
{
    if (!MediaLibraries::isRegularFile(file))
        return nullptr;
    auto clip = std::make_unique<Clip>();
    clip->m_deadline = deadline;

    clip->m_format = MediaFiles::openContainer(file, deadline);
    if (!clip->m_format)
        return nullptr;
    AVFormatContext* format = clip->m_format.get();

    auto pickStream = [&]() -> AVStream* {
        AVStream* best = nullptr;
        for (unsigned i = 0; i < format->nb_streams; ++i) {
            AVStream* stream = format->streams[i];
            if (stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO
                || (stream->disposition & AV_DISPOSITION_ATTACHED_PIC))
                continue;
            if (!best
                || int64_t(stream->codecpar->width) * stream->codecpar->height
                    > int64_t(best->codecpar->width) * best->codecpar->height)
                best = stream;
        }
        return best;
    };
    auto knownDuration = [&]() -> double {
        if (format->duration != AV_NOPTS_VALUE && format->duration > 0)
            return double(format->duration) / AV_TIME_BASE;
        if (clip->m_stream && clip->m_stream->duration != AV_NOPTS_VALUE && clip->m_stream->duration > 0)
            return double(clip->m_stream->duration) * av_q2d(clip->m_stream->time_base);
        return 0;
    };

    // Probing decodes pictures; containers with a proper header describe their streams without it.
    clip->m_stream = pickStream();
    const bool needsProbe = (format->ctx_flags & AVFMTCTX_NOHEADER) || !clip->m_stream
        || clip->m_stream->codecpar->width <= 0 || clip->m_stream->codecpar->codec_id == AV_CODEC_ID_NONE
        || !(knownDuration() > 0);
    if (needsProbe) {
        if (avformat_find_stream_info(format, nullptr) < 0)
            return nullptr;
        clip->m_stream = pickStream();
    }
    AVStream* stream = clip->m_stream;
    if (!stream || stream->time_base.num <= 0 || stream->time_base.den <= 0)
        return nullptr;
    clip->m_duration = knownDuration();
    if (!(clip->m_duration > 0) || !std::isfinite(clip->m_duration))
        return nullptr;

    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec)
        return nullptr;
    CodecPtr decoder(avcodec_alloc_context3(codec));
    if (!decoder || avcodec_parameters_to_context(decoder.get(), stream->codecpar) < 0)
        return nullptr;
    decoder->pkt_timebase = stream->time_base;
    decoder->thread_count = std::max(1, decoderThreads);
    decoder->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0)
        return nullptr;
    clip->m_decoder = std::move(decoder);

    // Skipping pictures is only done where the bitstream itself says nothing refers to them.
    const std::span<const uint8_t> extradata(
        stream->codecpar->extradata, size_t(std::max(0, stream->codecpar->extradata_size)));
    if (stream->codecpar->codec_id == AV_CODEC_ID_H264) {
        clip->m_layout = NalUnits::layoutFromExtradata(NalUnits::Codec::H264, extradata);
        clip->m_canSkip = true;
    } else if (stream->codecpar->codec_id == AV_CODEC_ID_HEVC) {
        clip->m_layout = NalUnits::layoutFromExtradata(NalUnits::Codec::Hevc, extradata);
        clip->m_canSkip = true;
    }

    clip->m_origin = format->start_time != AV_NOPTS_VALUE
        ? av_rescale_q(format->start_time, AV_TIME_BASE_Q, stream->time_base)
        : (stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0);
    clip->m_streamStart = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : clip->m_origin;
    clip->m_end = clip->m_origin + int64_t(std::min(clip->m_duration / av_q2d(stream->time_base), 1e15));
    clip->m_placement = placementOf(stream);
    const AVRational rate = stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
    if (rate.num > 0 && rate.den > 0)
        clip->m_frameTicks = std::max<int64_t>(1, av_rescale_q(1, av_inv_q(rate), stream->time_base));
    const std::string_view demuxer(format->iformat->name);
    clip->m_countPictures = clip->m_frameTicks > 0 && demuxer == "avi";
    clip->m_vopTypes = clip->m_countPictures && stream->codecpar->codec_id == AV_CODEC_ID_MPEG4;
    clip->m_partlyTimed = clip->m_frameTicks > 0 && (demuxer == "mpeg" || demuxer == "mpegvideo");
    return clip;
}

QByteArray Clip::grab(double seconds, Stats& stats)
{
    const AVRational timeBase = m_stream->time_base;
    // The instant is a count of 1/600 s ticks; the picture on screen is the last one starting at or before
    // it.
    const int64_t ticks = std::llround(seconds * 600.0);
    const int64_t target = m_origin + av_rescale_q_rnd(ticks, AVRational { 1, 600 }, timeBase, AV_ROUND_DOWN);
    const int64_t second = std::max<int64_t>(1, av_rescale_q(1, AVRational { 1, 1 }, timeBase));

    int64_t seekTo = target;
    for (int attempt = 0; attempt < 8 && !expired(); ++attempt) {
        const bool fromStart = seekTo <= m_streamStart;
        if (fromStart ? !rewind()
                      : av_seek_frame(m_format.get(), m_stream->index, seekTo, AVSEEK_FLAG_BACKWARD) < 0
                    && !rewind())
            return {};
        FramePtr picture;
        int64_t keyPts = AV_NOPTS_VALUE;
        const Outcome outcome = decodeFrom(target, fromStart, picture, keyPts, stats);
        if (outcome == Outcome::NeedEarlier) {
            // The demuxer landed on a key frame shown after the instant (open GOPs, inexact indexes):
            // step back further, doubling the step each time.
            seekTo = (keyPts != AV_NOPTS_VALUE ? std::min(seekTo, keyPts) : seekTo)
                - second * (int64_t(1) << attempt);
            continue;
        }
        if (outcome == Outcome::Failed || !picture)
            return {};
        ++stats.instantsFound;
        return encode(picture.get());
    }
    return {};
}

// Back to the very first packet. Timestamp seeking in streams without an index (MPEG-TS, MPEG-PS) only
// lands near the time asked for, so those go to byte 0. AVI reads by its index, which a byte seek
// leaves where it was.
bool Clip::rewind()
{
    if (!(m_format->iformat->flags & AVFMT_NO_BYTE_SEEK) && !m_countPictures
        && av_seek_frame(m_format.get(), -1, 0, AVSEEK_FLAG_BYTE) >= 0)
        return true;
    return av_seek_frame(m_format.get(), m_stream->index, m_streamStart, AVSEEK_FLAG_BACKWARD) >= 0;
}

void Clip::keep(FramePtr frame, int64_t target)
{
    if (m_countPictures) {
        frame->pts = m_countFrom + m_pictures++ * m_frameTicks;
    } else if (m_partlyTimed) {
        const int64_t index = m_pictures++;
        if (frame->pts != AV_NOPTS_VALUE) {
            const int64_t zero = frame->pts - index * m_frameTicks;
            const int votes = ++m_votes[zero];
            if (votes > m_zeroVotes) {
                m_zero = zero;
                m_zeroVotes = votes;
            }
        }
        m_recent.emplace_back(index, std::move(frame));
        // Decoding runs on past the instant only briefly unless the times are badly off; then only the
        // picture the count points at so far is worth keeping from the older ones.
        if (m_recent.size() > 2 * ReorderLimit) {
            if (m_recent.front().first == countedIndex(target))
                m_held = std::move(m_recent.front());
            m_recent.pop_front();
        }
        return;
    } else if (frame->pts == AV_NOPTS_VALUE && m_frameTicks > 0) {
        frame->pts = m_lastShown != AV_NOPTS_VALUE ? m_lastShown + m_frameTicks : m_countFrom;
    }
    if (frame->pts != AV_NOPTS_VALUE)
        m_lastShown = frame->pts;
    place(std::move(frame), target);
}

// The count of the picture on screen at the instant; negative when the instant comes before the first
// picture decoded.
int64_t Clip::countedIndex(int64_t target) const
{
    const int64_t zero = m_zero != AV_NOPTS_VALUE ? m_zero : m_countFrom;
    if (zero == AV_NOPTS_VALUE)
        return std::numeric_limits<int64_t>::max();
    return target >= zero ? (target - zero) / m_frameTicks : -1;
}

FramePtr Clip::takeCounted(int64_t index)
{
    if (m_held.second && m_held.first == index)
        return std::move(m_held.second);
    for (auto& [count, frame] : m_recent) {
        if (count == index)
            return std::move(frame);
    }
    // After the last picture, the last one stays on screen.
    if (!m_recent.empty() && index > m_recent.back().first)
        return std::move(m_recent.back().second);
    return {};
}

void Clip::place(FramePtr frame, int64_t target)
{
    const int64_t time = frame->pts != AV_NOPTS_VALUE ? frame->pts : frame->best_effort_timestamp;
    if (time == AV_NOPTS_VALUE) {
        m_untimed = std::move(frame);
    } else if (time <= target) {
        if (!m_atOrBefore || time >= m_atOrBefore->pts)
            m_atOrBefore = std::move(frame);
    } else if (!m_earliest || time < m_earliest->pts) {
        m_earliest = std::move(frame);
    }
    // Normalise, so that the comparisons above read one field.
    for (FramePtr* held : { &m_atOrBefore, &m_earliest }) {
        if (*held && (*held)->pts == AV_NOPTS_VALUE)
            (*held)->pts = (*held)->best_effort_timestamp;
    }
}

bool Clip::send(AVPacket* packet, int64_t target, Stats& stats)
{
    if (packet)
        ++stats.framesDecoded;
    for (;;) {
        const int sent = avcodec_send_packet(m_decoder.get(), packet);
        // A broken packet only costs its own picture; the decoder goes on with the next one.
        const bool retry = sent == AVERROR(EAGAIN);
        for (;;) {
            FramePtr frame(av_frame_alloc());
            if (!frame)
                return false;
            const int received = avcodec_receive_frame(m_decoder.get(), frame.get());
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
                break;
            if (received < 0)
                return !retry;
            keep(std::move(frame), target);
        }
        if (!retry || expired())
            return !expired();
    }
}

Clip::Outcome Clip::decodeFrom(
    int64_t target, bool acceptLateStart, FramePtr& picture, int64_t& keyPts, Stats& stats)
{
    avcodec_flush_buffers(m_decoder.get());
    m_atOrBefore.reset();
    m_earliest.reset();
    m_untimed.reset();

    std::deque<Pending> window;
    int64_t sequence = 0;
    bool started = false;
    int64_t bestPts = AV_NOPTS_VALUE; // latest picture time not after the instant
    int64_t bestSequence = -1;
    int64_t firstPts = AV_NOPTS_VALUE; // earliest picture time
    int64_t firstSequence = -1;
    int laterInARow = 0;
    bool sawLater = false; // a picture shown after the instant was read
    bool keyPlaced = !m_vopTypes; // whether the key frame's place among the pictures shown is known
    // Some containers (AVI with B-frames) give no presentation time for reordered pictures: then every
    // picture is decoded and the decoder's own times decide.
    bool timesComplete = true;

    // Sends a packet leaving the look-ahead window before the instant's picture is known: a disposable
    // picture is skipped once it is clearly not the one shown at the instant.
    auto release = [&](Pending& p) {
        const bool notShownThen = timesComplete && p.pts != AV_NOPTS_VALUE
            && (p.pts > target || (bestPts != AV_NOPTS_VALUE && p.pts < bestPts));
        return (p.disposable && notShownThen) || send(p.packet.get(), target, stats);
    };

    PacketPtr packet(av_packet_alloc());
    if (!packet)
        return Outcome::Failed;
    for (;;) {
        if (expired())
            return Outcome::Failed;
        const int rc = av_read_frame(m_format.get(), packet.get());
        if (rc == AVERROR(EAGAIN))
            continue;
        // At the end of the file the last picture stays on screen. But when the file ends well before the
        // length its container states (cut off, its index promising pictures it no longer has) and the
        // last picture read is over by the instant, the instant's picture is unknown.
        if (rc < 0 && !sawLater && bestPts != AV_NOPTS_VALUE && m_frameTicks > 0
            && target >= bestPts + m_frameTicks && bestPts + 2 * m_frameTicks < m_end)
            return Outcome::Failed;
        if (rc < 0)
            break; // decide with what was read
        if (packet->stream_index != m_stream->index) {
            av_packet_unref(packet.get());
            continue;
        }
        const std::span<const uint8_t> data(packet->data, size_t(std::max(0, packet->size)));
        if (!started) {
            if (!(packet->flags & AV_PKT_FLAG_KEY) || (m_vopTypes && vopType(data) != 0)) {
                av_packet_unref(packet.get());
                continue;
            }
            started = true;
            keyPts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
            m_countFrom = m_countPictures && packet->dts != AV_NOPTS_VALUE ? packet->dts : keyPts;
            m_pictures = 0;
            m_lastShown = AV_NOPTS_VALUE;
            m_recent.clear();
            m_held = {};
            m_votes.clear();
            m_zero = AV_NOPTS_VALUE;
            m_zeroVotes = 0;
            if (!acceptLateStart && keyPts != AV_NOPTS_VALUE && keyPts > target) {
                av_packet_unref(packet.get());
                return Outcome::NeedEarlier;
            }
        } else if (!keyPlaced && packet->dts != AV_NOPTS_VALUE && vopType(data) >= 0 && vopType(data) != 2) {
            keyPlaced = true;
            m_countFrom = packet->dts - m_frameTicks;
            keyPts = m_countFrom;
            if (!acceptLateStart && keyPts > target) {
                av_packet_unref(packet.get());
                return Outcome::NeedEarlier;
            }
        }

        Pending p;
        p.pts = packet->pts;
        p.sequence = ++sequence;
        if (m_canSkip) {
            NalUnits::updateFromPacket(m_layout, data);
            p.disposable = NalUnits::isDisposable(m_layout, data);
        }
        const bool shown = !(packet->flags & AV_PKT_FLAG_DISCARD);
        if (shown && p.pts == AV_NOPTS_VALUE) {
            timesComplete = false;
            if (packet->dts != AV_NOPTS_VALUE)
                laterInARow = packet->dts > target ? laterInARow + 1 : 0;
            sawLater |= packet->dts != AV_NOPTS_VALUE && packet->dts > target;
        }
        if (shown && p.pts != AV_NOPTS_VALUE) {
            if (p.pts <= target && (bestPts == AV_NOPTS_VALUE || p.pts >= bestPts)) {
                bestPts = p.pts;
                bestSequence = p.sequence;
            }
            if (firstPts == AV_NOPTS_VALUE || p.pts < firstPts) {
                firstPts = p.pts;
                firstSequence = p.sequence;
            }
            laterInARow = p.pts > target ? laterInARow + 1 : 0;
            sawLater |= p.pts > target;
        }
        p.packet.reset(av_packet_alloc());
        if (!p.packet)
            return Outcome::Failed;
        av_packet_move_ref(p.packet.get(), packet.get());
        window.push_back(std::move(p));
        while (window.size() > LookAhead) {
            if (!release(window.front()))
                return Outcome::Failed;
            window.pop_front();
        }
        if (laterInARow > ReorderLimit)
            break;
    }
    if (!started) {
        // Seeking without an index can land past the last key frame; one before it is needed then.
        keyPts = AV_NOPTS_VALUE;
        return acceptLateStart ? Outcome::Failed : Outcome::NeedEarlier;
    }

    // Now the instant's picture is known: send the pictures it depends on and itself, nothing after it.
    // Counted pictures need every picture up to the instant, whatever the packets' times say.
    const int64_t wanted = !timesComplete || m_partlyTimed ? -1
        : bestSequence >= 0                                ? bestSequence
                                                           : firstSequence;
    for (Pending& p : window) {
        if (wanted >= 0 && p.sequence > wanted)
            break;
        const bool skip = wanted >= 0 && p.disposable && p.sequence != wanted;
        if (!skip && !send(p.packet.get(), target, stats))
            return Outcome::Failed;
    }
    window.clear();
    if (!send(nullptr, target, stats))
        return Outcome::Failed;
    stats.packetsToInstants += int(wanted >= 0 ? wanted : sequence);
    if (m_partlyTimed) {
        const int64_t index = countedIndex(target);
        if (index < 0 && !acceptLateStart) {
            keyPts = m_zero != AV_NOPTS_VALUE ? m_zero : m_countFrom;
            return Outcome::NeedEarlier;
        }
        picture = takeCounted(std::max<int64_t>(0, index));
        m_recent.clear();
        m_held = {};
        return Outcome::Done;
    }

    if (!timesComplete && !m_atOrBefore && m_earliest && !acceptLateStart) {
        // Every picture decoded is shown after the instant: the key frame was not early enough.
        keyPts = m_earliest->pts;
        return Outcome::NeedEarlier;
    }
    if (!timesComplete) {
        picture = m_atOrBefore ? std::move(m_atOrBefore)
            : m_earliest       ? std::move(m_earliest)
                               : std::move(m_untimed);
    } else if (bestPts != AV_NOPTS_VALUE) {
        // Zero tolerance: when the picture shown at the instant did not decode, there is no frame.
        if (m_atOrBefore && m_atOrBefore->pts == bestPts)
            picture = std::move(m_atOrBefore);
    } else if (firstPts != AV_NOPTS_VALUE) {
        picture = std::move(m_earliest);
    } else {
        picture = m_untimed ? std::move(m_untimed) : std::move(m_atOrBefore);
    }
    return Outcome::Done;
}

QByteArray Clip::encode(const AVFrame* frame) const
{
    if (frame->width <= 0 || frame->height <= 0)
        return {};
    // Pixel aspect ratio first (anamorphic DV and broadcast video), then the quarter turn, then the box.
    AVRational aspect = frame->sample_aspect_ratio;
    if (aspect.num <= 0 || aspect.den <= 0)
        aspect = m_stream->sample_aspect_ratio;
    double shownWidth = frame->width;
    if (aspect.num > 0 && aspect.den > 0)
        shownWidth = frame->width * av_q2d(aspect);
    const double shownHeight = frame->height;
    const bool swap = m_placement.swapsAxes();
    const double uprightWidth = swap ? shownHeight : shownWidth;
    const double uprightHeight = swap ? shownWidth : shownHeight;
    const double scale = std::min({ 1.0, BoxSize / uprightWidth, BoxSize / uprightHeight });
    const int outWidth = std::clamp(int(std::lround(uprightWidth * scale)), 1, BoxSize);
    const int outHeight = std::clamp(int(std::lround(uprightHeight * scale)), 1, BoxSize);
    const int scaledWidth = swap ? outHeight : outWidth;
    const int scaledHeight = swap ? outWidth : outHeight;

    const auto format = AVPixelFormat(frame->format);
    ScalerPtr scaler(sws_getContext(frame->width, frame->height, format, scaledWidth, scaledHeight,
        AV_PIX_FMT_RGB24, SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr));
    if (!scaler)
        return {};
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
    if (descriptor && !(descriptor->flags & AV_PIX_FMT_FLAG_RGB)) {
        const int* coefficients
            = sws_getCoefficients(swsColorspace(rawValue(frame->colorspace), frame->height));
        const bool fullRange = rawValue(frame->color_range) == AVCOL_RANGE_JPEG
            || format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P
            || format == AV_PIX_FMT_YUVJ444P;
        sws_setColorspaceDetails(scaler.get(), coefficients, fullRange ? 1 : 0,
            sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    }
    std::vector<uint8_t> scaled(size_t(scaledWidth) * scaledHeight * 3);
    uint8_t* planes[4] = { scaled.data(), nullptr, nullptr, nullptr };
    int strides[4] = { scaledWidth * 3, 0, 0, 0 };
    if (sws_scale(scaler.get(), frame->data, frame->linesize, 0, frame->height, planes, strides)
        != scaledHeight)
        return {};

    const Placement& p = m_placement;
    if (p.a == 1 && p.d == 1)
        return ImageCodec::encodeRgbJpeg(scaled.data(), outWidth, outHeight, JpegQuality, *m_deadline);
    std::vector<uint8_t> upright(scaled.size());
    for (int y = 0; y < scaledHeight; ++y) {
        for (int x = 0; x < scaledWidth; ++x) {
            const int toX = (p.a == 1           ? x
                                    : p.a == -1 ? scaledWidth - 1 - x
                                                : 0)
                + (p.c == 1         ? y
                        : p.c == -1 ? scaledHeight - 1 - y
                                    : 0);
            const int toY = (p.b == 1           ? x
                                    : p.b == -1 ? scaledWidth - 1 - x
                                                : 0)
                + (p.d == 1         ? y
                        : p.d == -1 ? scaledHeight - 1 - y
                                    : 0);
            const uint8_t* from = &scaled[(size_t(y) * scaledWidth + x) * 3];
            std::copy(from, from + 3, &upright[(size_t(toY) * outWidth + toX) * 3]);
        }
    }
    return ImageCodec::encodeRgbJpeg(upright.data(), outWidth, outHeight, JpegQuality, *m_deadline);
}

} // namespace

std::vector<double> instants(double duration, int count)
{
    std::vector<double> result;
    if (!(duration > 0) || !std::isfinite(duration))
        return result;
    const int n = std::clamp(count, MinFrames, MaxFrames);
    for (int i = 1; i <= n; ++i)
        result.push_back(std::round(duration * i / (n + 1) * 600.0) / 600.0);
    return result;
}

std::optional<double> duration(const std::filesystem::path& video)
{
    MediaLibraries::initialize();
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    try {
        const auto clip = Clip::open(video, &deadline, 1);
        if (clip)
            return clip->durationSeconds();
    } catch (...) {
        // Allocation failure: the clip simply has no known length.
    }
    return std::nullopt;
}

QByteArrayList extract(const std::filesystem::path& video,
    int count,
    std::chrono::milliseconds budget,
    Stats* stats,
    int maxWorkers)
{
    MediaLibraries::initialize();
    const int n = std::clamp(count, MinFrames, MaxFrames);
    const Clock::time_point deadline = Clock::now() + budget;
    const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
    // Instants are independent, so they spread over the cores; a lone instant gets a threaded decoder.
    const int workers = std::clamp(maxWorkers > 0 ? std::min(maxWorkers, n) : std::min(n, cores), 1, 8);
    const int decoderThreads = workers == 1 ? cores : 1;

    std::vector<QByteArray> frames(static_cast<size_t>(n));
    Stats total;
    try {
        auto first = Clip::open(video, &deadline, decoderThreads);
        if (!first)
            return {};
        const std::vector<double> times = instants(first->durationSeconds(), n);
        std::atomic<int> next { 0 };
        std::mutex statsLock;
        auto work = [&](Clip& clip) {
            Stats mine;
            for (int i = next++; i < n; i = next++)
                frames[size_t(i)] = clip.grab(times[size_t(i)], mine);
            const std::lock_guard lock(statsLock);
            total.framesDecoded += mine.framesDecoded;
            total.packetsToInstants += mine.packetsToInstants;
            total.instantsFound += mine.instantsFound;
        };
        std::vector<std::thread> helpers;
        for (int w = 1; w < workers; ++w) {
            try {
                helpers.emplace_back([&] {
                    try {
                        if (auto clip = Clip::open(video, &deadline, decoderThreads))
                            work(*clip);
                    } catch (...) {
                        // The other workers take over the remaining instants.
                    }
                    vips_thread_shutdown();
                });
            } catch (...) {
                break; // no thread to be had: fewer workers
            }
        }
        try {
            work(*first);
        } catch (...) { }
        for (std::thread& helper : helpers)
            helper.join();
        // A clip may hold less than its index promises (a DV export listing 90 frames and storing one):
        // then the first picture that decodes stands for it.
        if (std::all_of(frames.begin(), frames.end(), [](const QByteArray& f) { return f.isEmpty(); })) {
            Stats mine;
            frames.front() = first->grab(0.0, mine);
            total.framesDecoded += mine.framesDecoded;
            total.instantsFound += mine.instantsFound;
        }
    } catch (...) {
        return {};
    }
    if (stats)
        *stats = total;
    QByteArrayList result;
    for (QByteArray& frame : frames) {
        if (!frame.isEmpty())
            result.append(std::move(frame));
    }
    return result;
}

} // namespace VideoFrames

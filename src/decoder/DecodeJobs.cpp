// SPDX-License-Identifier: GPL-3.0-or-later
#include "decoder/DecodeJobs.h"

#include "media/FrameExtractor.h"
#include "media/FrameMontage.h"
#include "media/GpsReader.h"
#include "media/MediaLibraries.h"

#include <algorithm>

namespace DecodeJobs {

Decoded decode(const DecodeRequest& request)
{
    Decoded decoded;
    if (request.kind == MediaKind::Video) {
        if (request.inspect)
            decoded.durationSeconds = FrameExtractor::durationSeconds(request.path);
        if (request.frameCount <= 0)
            return decoded; // the length alone
        decoded.frames = FrameExtractor::extractFrames(request.path, request.frameCount);
    } else {
        const QByteArray picture = FrameExtractor::extractImage(request.path, request.photoMaxSize);
        if (!picture.isEmpty())
            decoded.frames = { picture };
    }
    // An analysis drops a file without pictures, so its position would only cost time.
    if (decoded.frames.isEmpty() && !request.inspect)
        return decoded;
    if (!request.inspect) {
        decoded.isNearlyFlat
            = std::all_of(decoded.frames.cbegin(), decoded.frames.cend(), &FrameExtractor::isNearlyFlat);
        if (decoded.isNearlyFlat)
            return decoded; // the analysis stops here
    }
    decoded.coordinate = request.kind == MediaKind::Video ? PlaceResolver::coordinate(request.path)
                                                          : PlaceResolver::photoCoordinate(request.path);
    decoded.montage = FrameMontage::compose(decoded.frames, request.montageQuality);
    if (request.thumbnailEdge > 0 && !decoded.frames.isEmpty())
        decoded.thumbnail = FrameExtractor::thumbnail(decoded.frames.constFirst(), request.thumbnailEdge);
    return decoded;
}

std::optional<FileDates::CaptureDate> captureDate(const DatedFile& file)
{
    if (file.kind == MediaKind::Photo)
        return FrameExtractor::photoCaptureDate(file.path);
    if (auto date = FrameExtractor::creationDate(file.path))
        return FileDates::CaptureDate { *date, DateSource::Metadata };
    return std::nullopt;
}

void prepare(int (*opener)(const std::filesystem::path& path))
{
    MediaLibraries::preload();
    MediaLibraries::setOpener(opener);
}

} // namespace DecodeJobs

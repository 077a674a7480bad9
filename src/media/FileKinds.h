// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/MediaKind.h"

#include <QStringList>

#include <filesystem>
#include <optional>
#include <string>

// Which file names are media, and of which kind. Header only: the programs that hand decoding to the
// worker processes use it without linking a decoder library. Safe on any thread.
namespace FileKinds {

using namespace Qt::StringLiterals;

// Besides the common containers: AVCHD camcorders (MTS, M2TS), phones (3GP) and raw DV from tape
// camcorders and their capture programs (DV).
inline const QStringList VideoExtensions { u"mp4"_s, u"mov"_s, u"m4v"_s, u"avi"_s, u"mkv"_s, u"webm"_s,
    u"wmv"_s, u"flv"_s, u"ts"_s, u"mpg"_s, u"mpeg"_s, u"mts"_s, u"m2ts"_s, u"3gp"_s, u"dv"_s };
// Besides the common formats: older Canon, Pentax, Samsung and Nikon compact RAW, the HEIF that Canon and
// Sony cameras name .HIF, GIF (its first frame) and the stereo JPEG pairs of two-lens cameras (MPO, whose
// first picture is a plain JPEG).
inline const QStringList PhotoExtensions { u"cr3"_s, u"nef"_s, u"arw"_s, u"raf"_s, u"rw2"_s, u"orf"_s,
    u"dng"_s, u"jpg"_s, u"jpeg"_s, u"png"_s, u"tiff"_s, u"tif"_s, u"webp"_s, u"avif"_s, u"bmp"_s, u"heic"_s,
    u"heif"_s, u"cr2"_s, u"crw"_s, u"pef"_s, u"srw"_s, u"nrw"_s, u"hif"_s, u"gif"_s, u"mpo"_s };

// The extension after the last dot of the file name, lower-cased; empty when there is none.
inline QString lowerExtension(const std::filesystem::path& path)
{
    const std::string name = path.filename().native();
    const auto dot = name.rfind('.');
    if (dot == std::string::npos)
        return {};
    return QString::fromUtf8(name.data() + dot + 1, qsizetype(name.size() - dot - 1)).toLower();
}

// The kind a file name stands for, whatever the media target; nothing for other files.
inline std::optional<MediaKind> kindOf(const std::filesystem::path& path)
{
    const QString extension = lowerExtension(path);
    if (extension.isEmpty())
        return std::nullopt;
    if (VideoExtensions.contains(extension))
        return MediaKind::Video;
    if (PhotoExtensions.contains(extension))
        return MediaKind::Photo;
    return std::nullopt;
}

} // namespace FileKinds

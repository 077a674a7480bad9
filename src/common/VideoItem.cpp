// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/VideoItem.h"

#include <QFile>

#include <array>
#include <utility>

using namespace Qt::StringLiterals;

namespace {

constexpr std::array<std::pair<VideoItem::Status, QStringView>, 6> StatusNames { {
    { VideoItem::Status::Pending, u"pending" },
    { VideoItem::Status::Analyzing, u"analyzing" },
    { VideoItem::Status::Analyzed, u"analyzed" },
    { VideoItem::Status::Naming, u"naming" },
    { VideoItem::Status::Renamed, u"renamed" },
    { VideoItem::Status::Error, u"error" },
} };

} // namespace

std::optional<MediaKind> mediaKindFromRaw(const QString& raw)
{
    if (raw == u"video")
        return MediaKind::Video;
    if (raw == u"photo")
        return MediaKind::Photo;
    return std::nullopt;
}

QString rawValue(MediaKind kind)
{
    return kind == MediaKind::Video ? u"video"_s : u"photo"_s;
}

QString rawValue(DateSource source)
{
    switch (source) {
    case DateSource::Metadata:
        break;
    case DateSource::FileName:
        return u"fileName"_s;
    case DateSource::FileModified:
        return u"fileModified"_s;
    case DateSource::Xmp:
        return u"xmp"_s;
    }
    return u"metadata"_s;
}

std::optional<VideoItem::Status> statusFromRaw(const QString& raw)
{
    for (const auto& [status, name] : StatusNames) {
        if (raw == name)
            return status;
    }
    return std::nullopt;
}

QString rawValue(VideoItem::Status status)
{
    for (const auto& [s, name] : StatusNames) {
        if (s == status)
            return name.toString();
    }
    return {};
}

QString displayPath(const std::filesystem::path& path)
{
    return QFile::decodeName(QByteArray::fromStdString(path.native()));
}

QString displayFileName(const std::filesystem::path& path)
{
    return QFile::decodeName(QByteArray::fromStdString(path.filename().native()));
}

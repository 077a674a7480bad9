// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <optional>

enum class MediaKind
{
    Video,
    Photo,
};

// Raw values "video" and "photo"; any other text (other letter case included) gives no value.
std::optional<MediaKind> mediaKindFromRaw(const QString& raw);
QString rawValue(MediaKind kind);

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDateTime>
#include <QJsonObject>

#include <optional>

class AppSettings;
struct VideoItem;

// The JSON shapes of velmora-cli's --json output.
namespace ItemJson {

QJsonObject item(const VideoItem& item);
// The instant in UTC, with the fraction of its second when there is one: "2026-09-18T06:03:12.5Z".
QString isoDate(const QDateTime& date);
// The instant as local wall-clock time for the text output, "2026-09-18 14:03:12.5", or "-".
QString localDate(const std::optional<QDateTime>& date);
// Every preference with its value, plus the normalised URLs and the effective model. The API key is
// masked: this output ends up in terminals and logs.
QJsonObject settings(const AppSettings& settings);
QString maskedKey(const QString& key);

} // namespace ItemJson

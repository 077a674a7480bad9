// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QJsonObject>

class AppSettings;
struct VideoItem;

// The JSON shapes of velmora-cli's --json output.
namespace ItemJson {

QJsonObject item(const VideoItem& item);
// Every preference with its value, plus the normalised URLs and the effective model. The API key is
// masked: this output ends up in terminals and logs.
QJsonObject settings(const AppSettings& settings);
QString maskedKey(const QString& key);

} // namespace ItemJson

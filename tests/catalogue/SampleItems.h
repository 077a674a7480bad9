// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "catalogue/Records.h"

#include <QCryptographicHash>
#include <QTimeZone>

// Finished items as an analysis run leaves them, different for each number: for the catalogue's tests,
// its crash child and its benchmark. No files are behind them.
inline Catalogue::FinishedItem sampleItem(int i, qsizetype thumbnailBytes = 600)
{
    using namespace Qt::StringLiterals;
    Catalogue::FinishedItem item;
    const QByteArray seed = QByteArray::number(i);
    item.file.identity = { 1000 + i, QCryptographicHash::hash(seed, QCryptographicHash::Md5) };
    item.file.stamp = { 2049, quint64(5000 + i), item.file.identity.size, 1'700'000'000'000'000'000 + i };
    // Every seventh name is GBK, not UTF-8.
    item.file.path = (i % 7 == 3 ? "/媒体/\xc4\xe3" : "/媒体/clip") + seed.toStdString() + ".mov";
    item.file.kind = i % 2 ? MediaKind::Photo : MediaKind::Video;
    if (i % 3)
        item.file.captureDate
            = QDateTime::fromMSecsSinceEpoch(1'600'000'000'000 + i * 1000LL, QTimeZone::utc());
    item.file.captureSource = i % 3 ? u"exif"_s : QString();
    if (i % 4)
        item.file.place = u"杭州"_s;
    if (i % 5)
        item.file.coordinate = GeoCoordinate { 30.25 + i * 1e-6, -120.1 };
    item.analysis.key = { u"ollama"_s, u"qwen2.5vl:7b"_s, 6, 3 };
    item.analysis.rawReply = u"{\"content\":\"海边日落 %1\",\"location\":\"\"}"_s.arg(i);
    item.analysis.content = u"海边日落 %1"_s.arg(i);
    item.analysis.placeGuess = i % 2 ? u"海边"_s : QString();
    item.analysis.durationMs = 1200 + i;
    item.analysis.analyzedAt = QDateTime::fromMSecsSinceEpoch(1'700'000'000'000 + i, QTimeZone::utc());
    item.thumbnail = QByteArray(thumbnailBytes, char('a' + i % 26));
    Catalogue::SessionEntry& entry = item.entry;
    entry.id = QUuid::createUuidV5(QUuid(), seed);
    entry.position = i;
    entry.identity = item.file.identity;
    entry.path = item.file.path;
    entry.kind = item.file.kind;
    entry.status = VideoItem::Status::Analyzed;
    entry.proposedName = u"2020-09-13_杭州_海边日落_%1"_s.arg(i);
    if (i % 6 == 1)
        entry.editedName = u"改过的名字 %1"_s.arg(i);
    if (i % 6 == 2)
        entry.editedContent = QString(); // edited to empty, which is not "not edited"
    if (i % 8 == 5)
        entry.companions = { item.file.path.native() + ".xmp", "/媒体/\xc4\xe3.THM" };
    entry.isSelected = i % 9 == 0;
    return item;
}

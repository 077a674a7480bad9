// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/VideoItem.h"
#include "naming/UndoLog.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>

#include <filesystem>
#include <optional>
#include <vector>

// The record of what rename batches changed, from the undo logs: the batches of this user, and one
// batch as a CSV table a spreadsheet opens. Free functions that read files on the caller's thread.
namespace RenameRecord {

struct Batch
{
    std::filesystem::path log;
    QDateTime time; // local time
    qsizetype files = 0;
};

// The batches in the private undo directory that can still be undone, newest first. Logs that cannot
// be read are left out.
std::vector<Batch> batches();

// When the batch of this log ran: the time in its name, else the log's modification time.
QDateTime batchTime(const std::filesystem::path& log);

// UTF-8 with a byte-order mark, RFC 4180 quoting, CRLF line ends; columns 原路径, 新路径, 拍摄时间, 内容,
// 地点, 批次时间, then the paths' bytes, percent-encoded, when a path is not UTF-8. One row per moved
// file, by original path. Capture time, content and place come from the item now at the new path,
// or whose companion it is, else stay empty.
QByteArray csv(
    std::vector<UndoLog::Entry> entries, const QDateTime& batchTime, const QList<VideoItem>& items);
// The same for a log on disk; nothing when it cannot be read.
std::optional<QByteArray> csvOf(const std::filesystem::path& log, const QList<VideoItem>& items);

// "重命名记录_20260918-140312.csv"
QString defaultFileName(const QDateTime& batchTime);

} // namespace RenameRecord

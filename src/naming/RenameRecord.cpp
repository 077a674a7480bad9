// SPDX-License-Identifier: GPL-3.0-or-later
#include "naming/RenameRecord.h"

#include "naming/Renamer.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace RenameRecord {

namespace {

const QString TimeFormat = u"yyyy-MM-dd HH:mm:ss"_s;

QByteArray field(QString text, bool mayBeFormula = false)
{
    // A spreadsheet would run a cell that starts like a formula; what the model or a user wrote must stay
    // text.
    if (mayBeFormula && !text.isEmpty() && QStringView(u"=+-@\t\r").contains(text.front()))
        text.prepend(u'\'');
    QByteArray bytes = text.toUtf8();
    if (bytes.contains(',') || bytes.contains('"') || bytes.contains('\n') || bytes.contains('\r')) {
        bytes.replace("\"", "\"\"");
        bytes = '"' + bytes + '"';
    }
    return bytes;
}

// The percent-encoded bytes of a path that does not decode as UTF-8, else nothing.
QByteArray rawBytes(const std::filesystem::path& path)
{
    const QByteArray bytes = QByteArray::fromStdString(path.native());
    if (QFile::encodeName(QFile::decodeName(bytes)) == bytes)
        return {};
    return bytes.toPercentEncoding("/");
}

} // namespace

QDateTime batchTime(const std::filesystem::path& log)
{
    if (const auto seconds = UndoLog::timeOfLog(log))
        return QDateTime::fromSecsSinceEpoch(*seconds);
    return QFileInfo(QFile::decodeName(QByteArray::fromStdString(log.native()))).lastModified();
}

std::vector<Batch> batches()
{
    std::vector<Batch> out;
    for (const std::filesystem::path& log : UndoLog::logsNewestFirst(Renamer::undoDirectory())) {
        if (const auto entries = Renamer::entriesOf(log))
            out.push_back({ log, batchTime(log), qsizetype(entries->size()) });
    }
    return out;
}

QByteArray csv(std::vector<UndoLog::Entry> entries, const QDateTime& batchTime, const QList<VideoItem>& items)
{
    QHash<QByteArray, const VideoItem*> byPath;
    for (const VideoItem& item : items) {
        byPath.insert(QByteArray::fromStdString(item.url.native()), &item);
        for (const std::filesystem::path& companion : item.companions)
            byPath.insert(QByteArray::fromStdString(companion.native()), &item);
    }
    std::sort(entries.begin(), entries.end(),
        [](const UndoLog::Entry& a, const UndoLog::Entry& b) { return a.original < b.original; });

    QByteArray out = "\xEF\xBB\xBF";
    out += "原路径,新路径,拍摄时间,内容,地点,批次时间,原路径字节,新路径字节\r\n";
    const QByteArray when = field(batchTime.toString(TimeFormat));
    for (const UndoLog::Entry& entry : entries) {
        const VideoItem* item = byPath.value(QByteArray::fromStdString(entry.renamed.native()));
        const QString captured
            = item && item->creationDate ? item->creationDate->toLocalTime().toString(TimeFormat) : QString();
        const QList<QByteArray> row { field(displayPath(entry.original)), field(displayPath(entry.renamed)),
            field(captured), field(item ? item->content : QString(), true),
            field(item ? item->location : QString(), true), when, rawBytes(entry.original),
            rawBytes(entry.renamed) };
        out += row.join(',') + "\r\n";
    }
    return out;
}

std::optional<QByteArray> csvOf(const std::filesystem::path& log, const QList<VideoItem>& items)
{
    auto entries = Renamer::entriesOf(log);
    if (!entries)
        return std::nullopt;
    return csv(std::move(*entries), batchTime(log), items);
}

QString defaultFileName(const QDateTime& batchTime)
{
    return u"重命名记录_"_s + batchTime.toString(u"yyyyMMdd-HHmmss"_s) + u".csv"_s;
}

} // namespace RenameRecord

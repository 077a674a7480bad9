// SPDX-License-Identifier: GPL-3.0-or-later
#include "naming/UndoLog.h"

#include "common/Paths.h"
#include "naming/FileMoves.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

using namespace Qt::StringLiterals;

namespace {

constexpr auto LogPrefix = "tagora_undo_";
constexpr auto LogSuffix = ".json";
constexpr auto JournalSuffix = ".journal";
constexpr auto TemporaryPrefix = ".partial-";
constexpr auto BytesPrefix = u"bytes:";
// Far above any real batch; keeps a stray huge file from being read into memory.
constexpr qint64 MaxJournalBytes = qint64(512) << 20;
// A temporary file this old whose writer no longer holds its lock is debris of a crash.
constexpr time_t StaleTemporarySeconds = 600;

bool writeAll(int fd, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

QByteArray readAll(int fd)
{
    QByteArray out;
    char buffer[65536];
    off_t offset = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || out.size() + n > MaxJournalBytes)
            break;
        out.append(buffer, n);
        offset += n;
    }
    return out;
}

// Makes a new directory entry durable.
void syncDir(const std::filesystem::path& dir)
{
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

// A locked, empty temporary file in dir, mode 0600. The lock tells recovery that it is being written.
int createTemporary(const std::filesystem::path& dir, std::filesystem::path& path)
{
    std::string name = (dir / (std::string(TemporaryPrefix) + "XXXXXX")).native();
    const int fd = ::mkostemp(name.data(), O_CLOEXEC | O_APPEND);
    if (fd < 0)
        return -1;
    ::flock(fd, LOCK_EX);
    path = name;
    return fd;
}

QByteArray intentLine(const UndoLog::Intent& intent)
{
    const QJsonArray fields { UndoLog::encodePath(intent.renamed), UndoLog::encodePath(intent.original),
        QString::number(qulonglong(intent.device)), QString::number(qulonglong(intent.inode)) };
    return QJsonDocument(fields).toJson(QJsonDocument::Compact) + '\n';
}

std::optional<UndoLog::Intent> parseIntent(QByteArrayView line)
{
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(line.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError || !document.isArray())
        return std::nullopt;
    const QJsonArray fields = document.array();
    if (fields.size() != 4)
        return std::nullopt;
    const auto renamed = UndoLog::decodePath(fields.at(0).toString());
    const auto original = UndoLog::decodePath(fields.at(1).toString());
    bool deviceOk = false;
    bool inodeOk = false;
    const qulonglong device = fields.at(2).toString().toULongLong(&deviceOk);
    const qulonglong inode = fields.at(3).toString().toULongLong(&inodeOk);
    if (!renamed || !original || !deviceOk || !inodeOk)
        return std::nullopt;
    return UndoLog::Intent { *renamed, *original, dev_t(device), ino_t(inode) };
}

// "tagora_undo_<seconds>.json" or "tagora_undo_<seconds>-<n>.json": the time and the number.
std::optional<std::pair<qint64, int>> logNameOrder(const std::string& name)
{
    const std::string prefix = LogPrefix;
    const std::string suffix = LogSuffix;
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0
        || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return std::nullopt;
    const QByteArray stem
        = QByteArray::fromStdString(name.substr(prefix.size(), name.size() - prefix.size() - suffix.size()));
    const QList<QByteArray> parts = stem.split('-');
    if (parts.size() > 2)
        return std::nullopt;
    auto digits = [](const QByteArray& text) {
        return !text.isEmpty()
            && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    bool ok = digits(parts.at(0));
    const qint64 seconds = parts.at(0).toLongLong(&ok);
    if (!ok)
        return std::nullopt;
    int number = 1;
    if (parts.size() == 2) {
        ok = digits(parts.at(1));
        number = parts.at(1).toInt(&ok);
        if (!ok)
            return std::nullopt;
    }
    return std::pair { seconds, number };
}

// Log names "tagora_undo_<now>.json", "…-2.json" … with their journal names, as long as no log has
// the name; ends early when the folder cannot be used.
std::vector<std::pair<std::filesystem::path, std::filesystem::path>> freeLogNames(
    const std::filesystem::path& dir)
{
    std::vector<std::pair<std::filesystem::path, std::filesystem::path>> out;
    const std::string stem = LogPrefix + std::to_string(QDateTime::currentSecsSinceEpoch());
    for (int number = 1; number < 100000 && out.size() < 8; ++number) {
        const std::string logName
            = stem + (number > 1 ? '-' + std::to_string(number) : std::string()) + LogSuffix;
        const std::filesystem::path logPath = dir / logName;
        const FileMoves::PathState state = FileMoves::stateOf(logPath);
        if (state == FileMoves::PathState::Unusable)
            break;
        if (state == FileMoves::PathState::Free)
            out.emplace_back(logPath, dir / (logName + JournalSuffix));
    }
    return out;
}

} // namespace

namespace UndoLog {

QString encodePath(const std::filesystem::path& path)
{
    const QByteArray bytes = QByteArray::fromStdString(path.native());
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(bytes);
    if (!decoder.hasError() && text.toUtf8() == bytes)
        return text;
    return BytesPrefix + QString::fromLatin1(bytes.toPercentEncoding("/"));
}

std::optional<std::filesystem::path> decodePath(const QString& text)
{
    QByteArray bytes;
    if (text.startsWith(BytesPrefix)) {
        const QStringView encoded
            = QStringView(text).mid(qsizetype(std::char_traits<char16_t>::length(BytesPrefix)));
        for (const QChar c : encoded) {
            if (c.unicode() > 0x7f)
                return std::nullopt;
        }
        bytes = QByteArray::fromPercentEncoding(encoded.toLatin1());
    } else {
        bytes = text.toUtf8();
    }
    if (!bytes.startsWith('/') || bytes.contains('\0'))
        return std::nullopt;
    return std::filesystem::path(bytes.toStdString());
}

QByteArray serialize(const std::vector<Entry>& entries)
{
    QJsonObject object;
    for (const Entry& entry : entries) {
        if (!entry.isIdentified()) {
            object.insert(encodePath(entry.renamed), encodePath(entry.original));
            continue;
        }
        // Decimal strings: JSON numbers are doubles, which do not hold every 64-bit inode.
        object.insert(encodePath(entry.renamed),
            QJsonObject { { u"original"_s, encodePath(entry.original) },
                { u"device"_s, QString::number(qulonglong(entry.device)) },
                { u"inode"_s, QString::number(qulonglong(entry.inode)) } });
    }
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

std::optional<std::vector<Entry>> parse(const QByteArray& json)
{
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    std::vector<Entry> entries;
    for (auto it = object.begin(); it != object.end(); ++it) {
        Entry entry;
        QJsonValue original = it.value();
        if (it.value().isObject()) {
            const QJsonObject fields = it.value().toObject();
            bool deviceOk = false;
            bool inodeOk = false;
            original = fields.value(u"original"_s);
            entry.device = dev_t(fields.value(u"device"_s).toString().toULongLong(&deviceOk));
            entry.inode = ino_t(fields.value(u"inode"_s).toString().toULongLong(&inodeOk));
            if (!deviceOk || !inodeOk || entry.inode == 0)
                return std::nullopt;
        }
        if (!original.isString())
            return std::nullopt;
        const auto renamed = decodePath(it.key());
        const auto originalPath = decodePath(original.toString());
        if (!renamed || !originalPath)
            continue;
        entry.renamed = *renamed;
        entry.original = *originalPath;
        entries.push_back(std::move(entry));
    }
    return entries;
}

bool writeNewFile(const std::filesystem::path& path, const QByteArray& bytes, bool replace)
{
    std::filesystem::path temporary;
    const int fd = createTemporary(path.parent_path(), temporary);
    if (fd < 0)
        return false;
    // Written and flushed under a temporary name first, then moved: the log appears whole or not at all.
    const bool ok = writeAll(fd, bytes) && ::fsync(fd) == 0
        && (replace ? ::rename(temporary.c_str(), path.c_str()) == 0
                    : FileMoves::moveNoReplace(temporary, path) == 0);
    if (!ok)
        ::unlink(temporary.c_str());
    ::close(fd);
    if (ok)
        syncDir(path.parent_path());
    return ok;
}

std::optional<std::filesystem::path> writeNewLog(
    const std::filesystem::path& dir, const std::vector<Entry>& entries)
{
    const QByteArray bytes = serialize(entries);
    for (const auto& [logPath, journalPath] : freeLogNames(dir)) {
        // A journal without its log yet is a batch that has reserved that name.
        if (FileMoves::stateOf(journalPath) != FileMoves::PathState::Free)
            continue;
        if (writeNewFile(logPath, bytes))
            return logPath;
        if (FileMoves::stateOf(logPath) != FileMoves::PathState::Taken)
            break;
    }
    return std::nullopt;
}

bool isOwnedPrivately(int fd)
{
    struct stat st
    { };
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid()
        && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool preparePrivateDir(const std::filesystem::path& dir)
{
    if (!Paths::makePrivateDir(QFile::decodeName(QByteArray::fromStdString(dir.native()))))
        return false;
    struct stat st
    { };
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        return false;
    return (st.st_mode & 0777) == 0700 || ::chmod(dir.c_str(), 0700) == 0;
}

std::vector<std::filesystem::path> logsNewestFirst(const std::filesystem::path& dir)
{
    std::vector<std::pair<std::pair<qint64, int>, std::filesystem::path>> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        if (const auto order = logNameOrder(entry.path().filename().native()))
            found.emplace_back(*order, entry.path());
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<std::filesystem::path> out;
    out.reserve(found.size());
    for (auto& [order, path] : found)
        out.push_back(std::move(path));
    return out;
}

std::optional<qint64> timeOfLog(const std::filesystem::path& log)
{
    const auto order = logNameOrder(log.filename().native());
    return order ? std::optional(order->first) : std::nullopt;
}

bool isJournal(const std::filesystem::path& path)
{
    const std::string name = path.filename().native();
    const std::string suffix = JournalSuffix;
    return name.size() > suffix.size()
        && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::filesystem::path logOfJournal(const std::filesystem::path& journal)
{
    std::string text = journal.native();
    text.resize(text.size() - std::char_traits<char>::length(JournalSuffix));
    return text;
}

void removeStaleTemporaries(const std::filesystem::path& dir)
{
    const std::string prefix = TemporaryPrefix;
    const time_t now = std::time(nullptr);
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        const std::string name = entry.path().filename().native();
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        const int fd = ::open(entry.path().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st
        { };
        // The age check covers the instant between a writer's mkstemp and its flock.
        if (::fstat(fd, &st) == 0 && now - st.st_mtime > StaleTemporarySeconds
            && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlink(entry.path().c_str());
        ::close(fd);
    }
}

std::optional<Journal> Journal::begin(const std::filesystem::path& dir, const std::vector<Intent>& intents)
{
    std::filesystem::path temporary;
    const int fd = createTemporary(dir, temporary);
    if (fd < 0)
        return std::nullopt;
    QByteArray lines;
    for (const Intent& intent : intents)
        lines += intentLine(intent);
    if (!writeAll(fd, lines) || ::fdatasync(fd) != 0) {
        ::unlink(temporary.c_str());
        ::close(fd);
        return std::nullopt;
    }
    // The journal's name comes into being already locked and complete: recovery never sees it half made.
    for (const auto& [logPath, journalPath] : freeLogNames(dir)) {
        const int error = FileMoves::moveNoReplace(temporary, journalPath);
        if (error == 0) {
            syncDir(dir);
            return Journal(fd, journalPath, logPath);
        }
        if (error != EEXIST)
            break;
    }
    ::unlink(temporary.c_str());
    ::close(fd);
    return std::nullopt;
}

Journal::Journal(int fd, std::filesystem::path path, std::filesystem::path logPath)
    : m_fd(fd)
    , m_path(std::move(path))
    , m_logPath(std::move(logPath))
{ }

Journal::Journal(Journal&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
    , m_path(std::move(other.m_path))
    , m_logPath(std::move(other.m_logPath))
    , m_broken(other.m_broken)
{ }

Journal::~Journal()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool Journal::append(const Intent& intent)
{
    if (m_broken)
        return false;
    // A failed write may leave half a line, and what followed it would read as part of that line: no
    // further move may rely on this journal then.
    m_broken = !writeAll(m_fd, intentLine(intent)) || ::fdatasync(m_fd) != 0;
    return !m_broken;
}

std::optional<std::filesystem::path> Journal::commit(const std::vector<Entry>& entries)
{
    if (entries.empty()) {
        ::unlink(m_path.c_str());
        return std::nullopt;
    }
    if (!writeNewFile(m_logPath, serialize(entries)))
        return m_path;
    FileMoves::reach(FileMoves::Step::LogWritten, m_logPath);
    // Should this unlink be lost, recovery finds the log in place and drops the journal then.
    ::unlink(m_path.c_str());
    return m_logPath;
}

std::optional<JournalReader> JournalReader::open(const std::filesystem::path& journal)
{
    const int fd = ::open(journal.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return std::nullopt;
    }
    return JournalReader(fd);
}

JournalReader::JournalReader(int fd)
    : m_fd(fd)
{ }

JournalReader::JournalReader(JournalReader&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
{ }

JournalReader::~JournalReader()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool JournalReader::isOwnedPrivately() const
{
    return UndoLog::isOwnedPrivately(m_fd);
}

std::vector<Intent> JournalReader::intents() const
{
    std::vector<Intent> out;
    const QByteArray text = readAll(m_fd);
    for (const QByteArray& line : text.split('\n')) {
        if (const auto intent = parseIntent(line))
            out.push_back(*intent);
    }
    return out;
}

} // namespace UndoLog

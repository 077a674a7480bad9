// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/widgets/DragPayload.h"

#include <QFile>
#include <QHostInfo>
#include <QMimeData>
#include <QUrl>

#include <dirent.h>
#include <memory>
#include <sys/stat.h>

namespace {

struct DirCloser
{
    void operator()(DIR* dir) const
    {
        ::closedir(dir);
    }
};

} // namespace

namespace DragPayload {

std::optional<std::filesystem::path> localPath(const QUrl& url)
{
    if (!url.isValid() || url.scheme().compare(u"file", Qt::CaseInsensitive) != 0)
        return std::nullopt;
    const QString host = url.host();
    if (!host.isEmpty() && host.compare(u"localhost", Qt::CaseInsensitive) != 0
        && host.compare(QHostInfo::localHostName(), Qt::CaseInsensitive) != 0)
        return std::nullopt;
    // The percent-encoded form holds the name's bytes as they are on disk, UTF-8 or not.
    const QByteArray bytes = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    if (bytes.isEmpty() || bytes.front() != '/' || bytes.contains('\0'))
        return std::nullopt;
    return std::filesystem::path(bytes.toStdString());
}

std::vector<std::filesystem::path> localPaths(const QMimeData* mime)
{
    std::vector<std::filesystem::path> paths;
    if (!mime || !mime->hasUrls())
        return paths;
    const QList<QUrl> urls = mime->urls();
    paths.reserve(size_t(urls.size()));
    for (const QUrl& url : urls) {
        if (auto path = localPath(url))
            paths.push_back(std::move(*path));
    }
    return paths;
}

std::filesystem::path fromDialog(const QString& path)
{
    std::filesystem::path native(QFile::encodeName(path).toStdString());
    struct stat st
    { };
    if (!path.contains(QChar::ReplacementCharacter) || ::lstat(native.c_str(), &st) == 0)
        return native;
    const std::filesystem::path folder
        = fromDialog(QFile::decodeName(QByteArray::fromStdString(native.parent_path().native())));
    const QString wanted = QFile::decodeName(QByteArray::fromStdString(native.filename().native()));
    std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
    if (!dir)
        return native;
    while (const dirent* entry = ::readdir(dir.get())) {
        if (QString::fromUtf8(entry->d_name) == wanted)
            return folder / entry->d_name;
    }
    return native;
}

} // namespace DragPayload

// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/widgets/FileManager.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace FileManager {

QString fileUri(const std::filesystem::path& path)
{
    const QByteArray bytes = QByteArray::fromStdString(path.native());
    return u"file://"_s + QString::fromLatin1(bytes.toPercentEncoding("/"));
}

void showInFolder(const std::filesystem::path& file)
{
    const QUrl folder(fileUri(file.parent_path()));
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        QDesktopServices::openUrl(folder);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(u"org.freedesktop.FileManager1"_s,
        u"/org/freedesktop/FileManager1"_s, u"org.freedesktop.FileManager1"_s, u"ShowItems"_s);
    call << QStringList { fileUri(file) } << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [watcher, folder] {
        if (watcher->isError())
            QDesktopServices::openUrl(folder);
        watcher->deleteLater();
    });
}

} // namespace FileManager

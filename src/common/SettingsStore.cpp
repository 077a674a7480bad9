// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/SettingsStore.h"

#include "common/Paths.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

Q_LOGGING_CATEGORY(lcSettings, "velmora.settings", QtWarningMsg)

namespace {

QString s_lastQuarantine;

// The store is flat: one JSON object whose members are the keys. QSettings' group separator never
// appears in our keys, so no nesting is needed.
bool readJson(QIODevice& device, QSettings::SettingsMap& map)
{
    const QByteArray data = device.readAll();
    if (data.trimmed().isEmpty())
        return true;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return false;
    const QJsonObject object = doc.object();
    for (auto it = object.begin(); it != object.end(); ++it)
        map.insert(it.key(), it.value().toVariant());
    return true;
}

bool writeJson(QIODevice& device, const QSettings::SettingsMap& map)
{
    QJsonObject object;
    for (auto it = map.begin(); it != map.end(); ++it)
        object.insert(it.key(), QJsonValue::fromVariant(it.value()));
    return device.write(QJsonDocument(object).toJson(QJsonDocument::Indented)) >= 0;
}

QSettings::Format jsonFormat()
{
    static const QSettings::Format format = QSettings::registerFormat(u"json"_s, readJson, writeJson);
    return format;
}

bool isDamaged(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false; // absent or unreadable: QSettings will see no keys and write nothing over it
    QSettings::SettingsMap ignored;
    return !readJson(file, ignored);
}

QString quarantine(const QString& path)
{
    const QByteArray from = QFile::encodeName(path);
    for (int n = 0; n < 1000; ++n) {
        const QString to
            = n == 0 ? QString(path + u".corrupt"_s) : QString(path + u".corrupt."_s + QString::number(n));
        // link + unlink never replaces an earlier quarantined file.
        if (::link(from.constData(), QFile::encodeName(to).constData()) == 0) {
            ::unlink(from.constData());
            return to;
        }
        if (errno != EEXIST)
            break;
    }
    return {};
}

} // namespace

namespace SettingsStore {

QString defaultPath()
{
    return Paths::configDir() + u"/velmora.json"_s;
}

std::unique_ptr<QSettings> open(const QString& path)
{
    s_lastQuarantine.clear();
    if (isDamaged(path)) {
        s_lastQuarantine = quarantine(path);
        qCWarning(lcSettings) << "settings file is damaged; moved to" << s_lastQuarantine;
    }
    auto settings = std::make_unique<QSettings>(path, jsonFormat());
    settings->setFallbacksEnabled(false);
    return settings;
}

bool sync(QSettings& settings)
{
    const QString path = settings.fileName();
    if (!Paths::makePrivateDir(QFileInfo(path).path()))
        return false;
    // QSaveFile keeps the permissions of the file it replaces, so create it 0600 before the first write.
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0)
        ::close(fd);
    settings.sync();
    ::chmod(native.constData(), 0600);
    return settings.status() == QSettings::NoError;
}

QString lastQuarantinePath()
{
    return s_lastQuarantine;
}

} // namespace SettingsStore

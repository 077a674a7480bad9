// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/Paths.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace Paths {

QString configDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + u"/velmora"_s;
}

QString cacheDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + u"/velmora"_s;
}

QString stateDir()
{
    // Qt 6.4 has no state location.
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (QStandardPaths::isTestModeEnabled())
        base = QDir::homePath() + u"/.qttest/state"_s;
    else if (!QDir::isAbsolutePath(base))
        base = QDir::homePath() + u"/.local/state"_s;
    return base + u"/velmora"_s;
}

bool makePrivateDir(const QString& path)
{
    QDir dir(path);
    if (dir.exists())
        return true;
    const QString parent = QFileInfo(dir.absolutePath()).path();
    if (parent != dir.absolutePath() && !makePrivateDir(parent))
        return false;
    // mkdir with 0700 from the start: no window in which others could look in.
    return ::mkdir(QFile::encodeName(dir.absolutePath()).constData(), 0700) == 0 || dir.exists();
}

} // namespace Paths

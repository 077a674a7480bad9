// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/MediaFixtures.h"

#include <QDebug>
#include <QProcess>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

namespace MediaFixtures {

bool hasTool(const QString& program)
{
    return !QStandardPaths::findExecutable(program).isEmpty();
}

bool run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(60'000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        qWarning().noquote() << program << arguments.join(u' ') << "failed:" << process.readAll();
        return false;
    }
    return true;
}

bool makeJpeg(const QString& path, int width, int height)
{
    return run(u"ffmpeg"_s,
        { u"-loglevel"_s, u"error"_s, u"-y"_s, u"-f"_s, u"lavfi"_s, u"-i"_s,
            u"color=c=red:s=%1x%2"_s.arg(width).arg(height), u"-frames:v"_s, u"1"_s, path });
}

bool makeClip(const QString& path, double seconds, const QStringList& extra)
{
    QStringList arguments { u"-loglevel"_s, u"error"_s, u"-y"_s, u"-f"_s, u"lavfi"_s, u"-i"_s,
        u"testsrc=size=160x120:rate=25"_s, u"-t"_s, QString::number(seconds), u"-c:v"_s, u"libx264"_s,
        u"-pix_fmt"_s, u"yuv420p"_s };
    arguments << extra << path;
    return run(u"ffmpeg"_s, arguments);
}

bool setExif(const QString& path, const QStringList& assignments)
{
    QStringList arguments;
    for (const QString& assignment : assignments)
        arguments << u"-M"_s << u"set "_s + assignment;
    arguments << path;
    return run(u"exiv2"_s, arguments);
}

} // namespace MediaFixtures

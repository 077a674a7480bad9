// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/MediaFixtures.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <algorithm>
#include <sys/stat.h>

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

std::filesystem::path fsPath(const QString& path)
{
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

bool place(const QString& path, const QByteArray& content)
{
    if (content == "missing")
        return !QFileInfo::exists(path);
    if (!QDir().mkpath(QFileInfo(path).path()))
        return false;
    if (content == "fifo")
        return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
    if (content == "device")
        return QFile::link(u"/dev/zero"_s, path);
    if (content == "folder")
        return QDir().mkdir(path);
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool makeJpeg(const QString& path, int width, int height)
{
    return makeVideo(path,
        u"color=c=red:s=%1x%2,drawbox=x=iw*3/4:y=ih*3/4:w=iw/4:h=ih/4:color=blue:t=fill"_s.arg(width).arg(
            height),
        { u"-frames:v"_s, u"1"_s });
}

bool makeClip(const QString& path, double seconds, const QStringList& extra)
{
    return makeVideo(path, u"testsrc=size=160x120:rate=25"_s,
        QStringList {
            u"-t"_s, QString::number(seconds), u"-c:v"_s, u"libx264"_s, u"-pix_fmt"_s, u"yuv420p"_s }
            + extra);
}

bool setExif(const QString& path, const QStringList& assignments)
{
    QStringList arguments;
    for (const QString& assignment : assignments)
        arguments << u"-M"_s << u"set "_s + assignment;
    arguments << path;
    return run(u"exiv2"_s, arguments);
}

bool makeVideo(const QString& path, const QString& lavfiSource, const QStringList& outputArguments)
{
    QStringList arguments { u"-loglevel"_s, u"error"_s, u"-y"_s, u"-f"_s, u"lavfi"_s, u"-i"_s, lavfiSource };
    arguments << outputArguments << path;
    return run(u"ffmpeg"_s, arguments);
}

namespace {

// Little-endian TIFF directory writer, just enough for DNG.
class TiffWriter
{
public:
    enum Type : quint16
    {
        Byte = 1,
        Ascii = 2,
        Short = 3,
        Long = 4,
        Rational = 5,
        SRational = 10
    };

    struct Entry
    {
        quint16 tag;
        Type type;
        QList<quint32> values; // for rationals: numerator, denominator pairs
        QByteArray text;
    };

    static QByteArray u16(quint32 v)
    {
        const char bytes[2] = { char(v & 0xff), char((v >> 8) & 0xff) };
        return QByteArray(bytes, 2);
    }
    static QByteArray u32(quint32 v)
    {
        return u16(v & 0xffff) + u16(v >> 16);
    }

    static QByteArray payload(const Entry& e)
    {
        if (e.type == Ascii)
            return e.text + '\0';
        QByteArray out;
        for (quint32 v : e.values)
            out += e.type == Byte ? QByteArray(1, char(v)) : e.type == Short ? u16(v) : u32(v);
        return out;
    }

    static quint32 count(const Entry& e)
    {
        if (e.type == Ascii)
            return quint32(e.text.size() + 1);
        return quint32(e.type == Rational || e.type == SRational ? e.values.size() / 2 : e.values.size());
    }

    // Appends a directory at the end of file; values too large for the entry follow it.
    static quint32 appendDirectory(QByteArray& file, QList<Entry> entries)
    {
        std::sort(
            entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
        const quint32 start = quint32(file.size());
        const quint32 extraStart = start + 2 + 12 * quint32(entries.size()) + 4;
        QByteArray directory = u16(quint32(entries.size()));
        QByteArray extra;
        for (const Entry& e : entries) {
            const QByteArray data = payload(e);
            directory += u16(e.tag) + u16(e.type) + u32(count(e));
            if (data.size() <= 4) {
                directory += data + QByteArray(4 - data.size(), '\0');
            } else {
                directory += u32(extraStart + quint32(extra.size()));
                extra += data;
                if (extra.size() % 2)
                    extra += '\0';
            }
        }
        directory += u32(0);
        file += directory + extra;
        return start;
    }
};

} // namespace

bool makeDng(const QString& path,
    int width,
    int height,
    int level,
    const QByteArray& previewJpeg,
    int previewWidth,
    int previewHeight,
    int orientation)
{
    using T = TiffWriter;
    QByteArray file = QByteArray("II*\0", 4) + T::u32(0);

    const quint32 rawOffset = quint32(file.size());
    QByteArray mosaic;
    mosaic.reserve(qsizetype(width) * height * 2);
    const QByteArray sample = T::u16(quint32(level));
    for (qsizetype i = 0; i < qsizetype(width) * height; ++i)
        mosaic += sample;
    file += mosaic;
    quint32 previewOffset = 0;
    if (!previewJpeg.isEmpty()) {
        previewOffset = quint32(file.size());
        file += previewJpeg;
        if (file.size() % 2)
            file += '\0';
    }

    const QList<T::Entry> rawEntries {
        { 254, T::Long, { 0 }, {} },
        { 256, T::Long, { quint32(width) }, {} },
        { 257, T::Long, { quint32(height) }, {} },
        { 258, T::Short, { 16 }, {} },
        { 259, T::Short, { 1 }, {} },
        { 262, T::Short, { 32803 }, {} },
        { 273, T::Long, { rawOffset }, {} },
        { 277, T::Short, { 1 }, {} },
        { 278, T::Long, { quint32(height) }, {} },
        { 279, T::Long, { quint32(mosaic.size()) }, {} },
        { 33421, T::Short, { 2, 2 }, {} },
        { 33422, T::Byte, { 0, 1, 1, 2 }, {} },
        { 50714, T::Long, { 0 }, {} },
        { 50717, T::Long, { 4095 }, {} },
    };
    const QList<T::Entry> common {
        { 271, T::Ascii, {}, "Velmora" },
        { 272, T::Ascii, {}, "Fixture" },
        { 274, T::Short, { quint32(orientation) }, {} },
        { 50706, T::Byte, { 1, 4, 0, 0 }, {} },
        { 50708, T::Ascii, {}, "Velmora Fixture" },
        { 50721, T::SRational, { 1, 1, 0, 1, 0, 1, 0, 1, 1, 1, 0, 1, 0, 1, 0, 1, 1, 1 }, {} },
        { 50728, T::Rational, { 1, 1, 1, 1, 1, 1 }, {} },
        { 50778, T::Short, { 21 }, {} },
    };

    quint32 first = 0;
    if (previewJpeg.isEmpty()) {
        first = T::appendDirectory(file, rawEntries + common);
    } else {
        const quint32 rawDirectory = T::appendDirectory(file, rawEntries);
        QList<T::Entry> main {
            { 254, T::Long, { 1 }, {} },
            { 256, T::Long, { quint32(previewWidth) }, {} },
            { 257, T::Long, { quint32(previewHeight) }, {} },
            { 258, T::Short, { 8, 8, 8 }, {} },
            { 259, T::Short, { 7 }, {} },
            { 262, T::Short, { 6 }, {} },
            { 273, T::Long, { previewOffset }, {} },
            { 277, T::Short, { 3 }, {} },
            { 278, T::Long, { quint32(previewHeight) }, {} },
            { 279, T::Long, { quint32(previewJpeg.size()) }, {} },
            { 330, T::Long, { rawDirectory }, {} },
        };
        first = T::appendDirectory(file, main + common);
    }
    file.replace(4, 4, T::u32(first));

    QFile out(path);
    return out.open(QIODevice::WriteOnly | QIODevice::Truncate) && out.write(file) == file.size();
}

} // namespace MediaFixtures

// SPDX-License-Identifier: GPL-3.0-or-later
// Speaks the decoder protocol as a worker taken over by a malicious file would: each file's name picks
// the hostile value it answers with. Named *-v1 it says hello with another version, *-unconfined
// without its sandbox. For TestDecoderPool.

#include "decoder/Protocol.h"

#include <QDataStream>
#include <QIODevice>

#include <cmath>
#include <string>
#include <unistd.h>

using namespace DecoderProtocol;

namespace {

void send(const QByteArray& bytes)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t wrote = ::write(STDOUT_FILENO, bytes.constData() + done, size_t(bytes.size() - done));
        if (wrote <= 0)
            ::_exit(0);
        done += wrote;
    }
}

QByteArray receive(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype done = 0; done < size;) {
        const ssize_t got = ::read(STDIN_FILENO, bytes.data() + done, size_t(size - done));
        if (got <= 0)
            ::_exit(0);
        done += got;
    }
    return bytes;
}

// Only a frame header: all that the caller looks at before it draws a picture.
QByteArray jpeg(int width, int height)
{
    const char header[] = { char(0xff), char(0xd8), char(0xff), char(0xc0), 0, 11, 8, char(height >> 8),
        char(height & 0xff), char(width >> 8), char(width & 0xff), 1, 1, 0x11, 0, char(0xff), char(0xd9) };
    return QByteArray(header, sizeof header);
}

void answerDecode(const std::string& name)
{
    if (name == "oversized")
        return send(QByteArray("\xf0\xff\xff\xff", 4) + QByteArray(64, 'x'));
    Decoded decoded;
    decoded.frames = { jpeg(name == "huge" ? 60000 : 16, name == "huge" ? 60000 : 16) };
    decoded.montage = Montage { jpeg(16, 16), 1, 1, 1, name == "montage" ? 40000 : 16, 16 };
    if (name == "nan")
        decoded.coordinate = GeoCoordinate { std::nan(""), 10 };
    send(framed(encode(decoded)));
}

void answerDate(qint32 index, const std::filesystem::path& file)
{
    const std::string name = file.stem().native();
    if (name == "oversized")
        return send(QByteArray("\xf0\xff\xff\xff", 4));
    DateReply reply { index, QDateTime(QDate(2026, 9, 18), QTime(6, 3, 12), Qt::UTC) };
    if (name == "far-date")
        reply.date = QDateTime(QDate(9000, 1, 1), QTime(0, 0), Qt::UTC);
    if (name != "zone")
        return send(framed(encode(reply)));
    // A date as Qt serializes one in a named zone, the name leading to a FIFO beside the file: reading
    // that zone would hang its reader for good.
    QByteArray payload;
    QDataStream out(&payload, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_4);
    const std::string fifo = "../../../../../../../../.." + file.parent_path().native() + "/zone-fifo";
    out << index << true << qint64(2461302) << quint32(0) << quint8(Qt::TimeZone)
        << QString::fromStdString(fifo);
    send(framed(payload));
}

} // namespace

int main(int, char* argv[])
{
    const std::string self = argv[0];
    send(framed(encode(Hello {
        self.ends_with("-v1") ? 1 : Version, self.ends_with("-unconfined") ? 0 : RequiredConfinement })));
    for (;;) {
        const QByteArray header = receive(4);
        const quint32 size = quint32(quint8(header[0])) | quint32(quint8(header[1])) << 8
            | quint32(quint8(header[2])) << 16 | quint32(quint8(header[3])) << 24;
        const std::optional<Request> request = parseRequest(receive(qsizetype(size)));
        if (!request)
            return 2;
        if (request->operation == Operation::Decode)
            answerDecode(request->decode.path.stem().native());
        for (size_t i = 0; request->operation == Operation::Dates && i < request->files.size(); ++i)
            answerDate(qint32(i), request->files[i].path);
    }
}

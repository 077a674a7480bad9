// SPDX-License-Identifier: GPL-3.0-or-later
#include "decoder/Protocol.h"

#include <QDataStream>
#include <QIODevice>

namespace DecoderProtocol {

namespace {

constexpr auto StreamVersion = QDataStream::Qt_6_4;

class Writer
{
public:
    Writer()
        : m_stream(&m_bytes, QIODevice::WriteOnly)
    {
        m_stream.setVersion(StreamVersion);
    }

    template <typename T> Writer& operator<<(const T& value)
    {
        m_stream << value;
        return *this;
    }

    Writer& operator<<(const std::filesystem::path& path)
    {
        const std::string& bytes = path.native();
        m_stream << QByteArray(bytes.data(), qsizetype(bytes.size()));
        return *this;
    }

    QByteArray bytes() const
    {
        return m_bytes;
    }

private:
    QByteArray m_bytes;
    QDataStream m_stream;
};

class Reader
{
public:
    explicit Reader(const QByteArray& bytes)
        : m_stream(bytes)
    {
        m_stream.setVersion(StreamVersion);
    }

    template <typename T> Reader& operator>>(T& value)
    {
        m_stream >> value;
        return *this;
    }

    Reader& operator>>(std::filesystem::path& path)
    {
        QByteArray bytes;
        m_stream >> bytes;
        path = std::string(bytes.constData(), size_t(bytes.size()));
        return *this;
    }

    Reader& operator>>(MediaKind& kind)
    {
        quint8 raw = 0;
        m_stream >> raw;
        if (raw > quint8(MediaKind::Photo))
            m_stream.setStatus(QDataStream::ReadCorruptData);
        kind = MediaKind(raw);
        return *this;
    }

    // A count read from the stream, refused above max: QList's own reader reserves whatever the
    // stream claims.
    qint32 count(qint32 max)
    {
        qint32 n = 0;
        m_stream >> n;
        if (n < 0 || n > max) {
            m_stream.setStatus(QDataStream::ReadCorruptData);
            return 0;
        }
        return n;
    }

    bool complete() const
    {
        return m_stream.status() == QDataStream::Ok && m_stream.atEnd();
    }

private:
    QDataStream m_stream;
};

template <typename T> Writer& operator<<(Writer& out, const std::optional<T>& value)
{
    out << value.has_value();
    if (value)
        out << *value;
    return out;
}

template <typename T> Reader& operator>>(Reader& in, std::optional<T>& value)
{
    bool has = false;
    in >> has;
    value.reset();
    if (has) {
        T read {};
        in >> read;
        value = read;
    }
    return in;
}

Writer& operator<<(Writer& out, const GeoCoordinate& c)
{
    return out << c.latitude << c.longitude;
}

Reader& operator>>(Reader& in, GeoCoordinate& c)
{
    return in >> c.latitude >> c.longitude;
}

Writer& operator<<(Writer& out, const Montage& m)
{
    return out << m.jpeg << qint32(m.columns) << qint32(m.rows) << qint32(m.frameCount) << qint32(m.width)
               << qint32(m.height);
}

Reader& operator>>(Reader& in, Montage& m)
{
    qint32 columns = 0, rows = 0, frameCount = 0, width = 0, height = 0;
    in >> m.jpeg >> columns >> rows >> frameCount >> width >> height;
    m.columns = columns;
    m.rows = rows;
    m.frameCount = frameCount;
    m.width = width;
    m.height = height;
    return in;
}

} // namespace

QByteArray framed(const QByteArray& payload)
{
    const auto size = quint32(payload.size());
    QByteArray message;
    message.reserve(4 + payload.size());
    for (int shift = 0; shift < 32; shift += 8)
        message.append(char((size >> shift) & 0xff));
    message.append(payload);
    return message;
}

void MessageReader::append(const char* data, qsizetype size)
{
    m_buffer.append(data, size);
}

std::optional<QByteArray> MessageReader::next()
{
    if (m_failed || m_buffer.size() < 4)
        return std::nullopt;
    quint32 size = 0;
    for (int i = 0; i < 4; ++i)
        size |= quint32(quint8(m_buffer.at(i))) << (8 * i);
    if (size > MaxMessage) {
        m_failed = true;
        return std::nullopt;
    }
    if (m_buffer.size() - 4 < qsizetype(size))
        return std::nullopt;
    QByteArray payload = m_buffer.mid(4, qsizetype(size));
    m_buffer.remove(0, 4 + qsizetype(size));
    return payload;
}

QByteArray encode(const Request& request)
{
    Writer out;
    out << quint8(request.operation);
    switch (request.operation) {
    case Operation::Decode: {
        const DecodeRequest& d = request.decode;
        out << d.path << quint8(d.kind) << qint32(d.frameCount) << qint32(d.photoMaxSize) << d.montageQuality
            << d.inspect << qint32(d.thumbnailEdge);
        break;
    }
    case Operation::Dates:
        out << qint32(request.files.size());
        for (const DatedFile& file : request.files)
            out << file.path << quint8(file.kind);
        break;
    case Operation::Probe:
        out << request.target;
        break;
    }
    return out.bytes();
}

std::optional<Request> parseRequest(const QByteArray& payload)
{
    Reader in(payload);
    Request request;
    quint8 operation = 0;
    in >> operation;
    request.operation = Operation(operation);
    switch (request.operation) {
    case Operation::Decode: {
        DecodeRequest& d = request.decode;
        qint32 frameCount = 0, maxSize = 0, thumbnailEdge = 0;
        in >> d.path >> d.kind >> frameCount >> maxSize >> d.montageQuality >> d.inspect >> thumbnailEdge;
        d.frameCount = frameCount;
        d.photoMaxSize = maxSize;
        d.thumbnailEdge = thumbnailEdge;
        break;
    }
    case Operation::Dates: {
        const qint32 count = in.count(1 << 20);
        request.files.resize(size_t(count));
        for (DatedFile& file : request.files)
            in >> file.path >> file.kind;
        break;
    }
    case Operation::Probe:
        in >> request.target;
        break;
    default:
        return std::nullopt;
    }
    return in.complete() ? std::optional(request) : std::nullopt;
}

QByteArray encode(const Decoded& decoded)
{
    Writer out;
    out << qint32(decoded.frames.size());
    for (const QByteArray& frame : decoded.frames)
        out << frame;
    out << decoded.montage << decoded.coordinate << decoded.durationSeconds << decoded.thumbnail
        << decoded.isNearlyFlat;
    return out.bytes();
}

std::optional<Decoded> parseDecoded(const QByteArray& payload)
{
    Reader in(payload);
    Decoded decoded;
    const qint32 count = in.count(MaxFrames);
    for (qint32 i = 0; i < count; ++i) {
        QByteArray frame;
        in >> frame;
        decoded.frames.append(frame);
    }
    in >> decoded.montage >> decoded.coordinate >> decoded.durationSeconds >> decoded.thumbnail
        >> decoded.isNearlyFlat;
    return in.complete() ? std::optional(decoded) : std::nullopt;
}

QByteArray encode(const DateReply& reply)
{
    Writer out;
    out << reply.index << reply.date;
    return out.bytes();
}

std::optional<DateReply> parseDateReply(const QByteArray& payload)
{
    Reader in(payload);
    DateReply reply;
    in >> reply.index >> reply.date;
    return in.complete() ? std::optional(reply) : std::nullopt;
}

QByteArray encode(const SandboxReport& report)
{
    Writer out;
    out << qint32(report.inetSocket) << qint32(report.unixSocket) << qint32(report.fileWrite)
        << qint32(report.exec) << qint32(report.fork) << qint32(report.signalParent)
        << report.addressSpaceLimit;
    return out.bytes();
}

std::optional<SandboxReport> parseSandboxReport(const QByteArray& payload)
{
    Reader in(payload);
    SandboxReport report;
    qint32 inet = 0, local = 0, write = 0, exec = 0, fork = 0, signal = 0;
    in >> inet >> local >> write >> exec >> fork >> signal >> report.addressSpaceLimit;
    report.inetSocket = inet;
    report.unixSocket = local;
    report.fileWrite = write;
    report.exec = exec;
    report.fork = fork;
    report.signalParent = signal;
    return in.complete() ? std::optional(report) : std::nullopt;
}

} // namespace DecoderProtocol

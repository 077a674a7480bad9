// SPDX-License-Identifier: GPL-3.0-or-later
#include "decoder/Protocol.h"

#include <QDataStream>
#include <QIODevice>

#include <cmath>

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
        if (bytes.size() > MaxPath)
            fail();
        path = std::string(bytes.constData(), size_t(bytes.size()));
        return *this;
    }

    void fail()
    {
        m_stream.setStatus(QDataStream::ReadCorruptData);
    }

    // A JPEG of bounded size whose header declares a bounded picture; empty only where allowed.
    void picture(QByteArray& jpeg, bool mayBeEmpty = false)
    {
        m_stream >> jpeg;
        if (jpeg.isEmpty() && mayBeEmpty)
            return;
        const std::optional<std::pair<int, int>> size = jpegSize(jpeg);
        if (jpeg.size() > MaxPictureBytes || !size || qint64(size->first) * size->second > MaxPicturePixels)
            fail();
    }

    Reader& operator>>(MediaKind& kind)
    {
        quint8 raw = 0;
        m_stream >> raw;
        if (raw > quint8(MediaKind::Photo))
            fail();
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
            fail();
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
    in >> c.latitude >> c.longitude;
    // Comparisons with NaN are false: it fails here too.
    if (!(std::abs(c.latitude) <= 90 && std::abs(c.longitude) <= 180))
        in.fail();
    return in;
}

Writer& operator<<(Writer& out, const Montage& m)
{
    return out << m.jpeg << qint32(m.columns) << qint32(m.rows) << qint32(m.frameCount) << qint32(m.width)
               << qint32(m.height);
}

Reader& operator>>(Reader& in, Montage& m)
{
    qint32 columns = 0, rows = 0, frameCount = 0, width = 0, height = 0;
    in.picture(m.jpeg);
    in >> columns >> rows >> frameCount >> width >> height;
    // The geometry is shown to the user and sent to the model as it is: it must be the picture's own.
    const std::optional<std::pair<int, int>> size = jpegSize(m.jpeg);
    if (columns < 1 || columns > MaxFrames || rows < 1 || rows > MaxFrames || frameCount < 1
        || frameCount > columns * rows || !size || size->first != width || size->second != height)
        in.fail();
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

namespace {

// The Unix epoch in milliseconds of 1900-01-01 and 2200-01-01: no camera or file system records
// anything outside, and Qt handles every instant between.
constexpr qint64 EarliestDate = -2'208'988'800'000;
constexpr qint64 LatestDate = 7'258'118'400'000;
constexpr qint32 MaxOffset = 24 * 3600 - 1;

enum class DateKind : quint8
{
    None = 0,
    Instant = 1, // milliseconds since the epoch, shown at an offset from UTC
    WallClock = 2, // the milliseconds of a wall-clock time read as UTC; no offset known
};

void writeDescriptors(Writer& out, const std::vector<quint8>& has)
{
    out << qint32(has.size());
    for (const quint8 flag : has)
        out << flag;
}

void readDescriptors(Reader& in, std::vector<quint8>& has, size_t expected)
{
    has.resize(size_t(in.count(1 << 20)));
    for (quint8& flag : has) {
        in >> flag;
        if (flag > 1)
            in.fail();
    }
    if (has.size() != expected)
        in.fail();
}

} // namespace

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
        out << request.target << qint32(request.readTargets.size());
        for (const std::filesystem::path& path : request.readTargets)
            out << path;
        break;
    }
    writeDescriptors(out, request.hasDescriptor);
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
        request.readTargets.resize(size_t(in.count(64)));
        for (std::filesystem::path& path : request.readTargets)
            in >> path;
        break;
    default:
        return std::nullopt;
    }
    readDescriptors(
        in, request.hasDescriptor, request.operation == Operation::Dates ? request.files.size() : 1);
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
        in.picture(frame);
        decoded.frames.append(frame);
    }
    in >> decoded.montage >> decoded.coordinate >> decoded.durationSeconds;
    in.picture(decoded.thumbnail, true);
    in >> decoded.isNearlyFlat;
    if (decoded.durationSeconds && !(*decoded.durationSeconds >= 0 && *decoded.durationSeconds < 1e9))
        in.fail();
    return in.complete() ? std::optional(decoded) : std::nullopt;
}

QByteArray encode(const DateReply& reply)
{
    Writer out;
    out << reply.index;
    const std::optional<QDateTime>& date = reply.date;
    if (!date || !date->isValid())
        out << quint8(DateKind::None) << qint64(0) << qint32(0);
    else if (date->timeSpec() == Qt::LocalTime)
        out << quint8(DateKind::WallClock)
            << QDateTime(date->date(), date->time(), Qt::UTC).toMSecsSinceEpoch() << qint32(0);
    else
        out << quint8(DateKind::Instant) << date->toMSecsSinceEpoch() << qint32(date->offsetFromUtc());
    out << quint8(reply.source);
    return out.bytes();
}

std::optional<DateReply> parseDateReply(const QByteArray& payload)
{
    Reader in(payload);
    DateReply reply;
    quint8 kind = 0;
    qint64 ms = 0;
    qint32 offset = 0;
    quint8 source = 0;
    in >> reply.index >> kind >> ms >> offset >> source;
    if (!in.complete() || reply.index < 0 || kind > quint8(DateKind::WallClock) || ms < EarliestDate
        || ms > LatestDate || offset < -MaxOffset || offset > MaxOffset || source > quint8(DateSource::Xmp))
        return std::nullopt;
    reply.source = DateSource(source);
    if (DateKind(kind) == DateKind::Instant) {
        reply.date = offset == 0 ? QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC)
                                 : QDateTime::fromMSecsSinceEpoch(ms, Qt::OffsetFromUTC, offset);
    } else if (DateKind(kind) == DateKind::WallClock) {
        const QDateTime wall = QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
        reply.date = QDateTime(wall.date(), wall.time(), Qt::LocalTime);
    }
    return reply;
}

QByteArray encode(const SandboxReport& report)
{
    Writer out;
    out << qint32(report.inetSocket) << qint32(report.unixSocket) << qint32(report.fileWrite)
        << qint32(report.exec) << qint32(report.fork) << qint32(report.signalParent)
        << report.addressSpaceLimit << qint32(report.perfEvent) << qint32(report.bpf) << qint32(report.flock)
        << qint32(report.setFileFlags) << qint32(report.ioctl) << qint32(report.fileReads.size());
    for (const qint32 error : report.fileReads)
        out << error;
    out << qint32(report.environment.size());
    for (const QByteArray& name : report.environment)
        out << name;
    return out.bytes();
}

std::optional<SandboxReport> parseSandboxReport(const QByteArray& payload)
{
    Reader in(payload);
    SandboxReport report;
    qint32 inet = 0, local = 0, write = 0, exec = 0, fork = 0, signal = 0;
    qint32 perf = 0, bpf = 0, flock = 0, flags = 0, ioctl = 0;
    in >> inet >> local >> write >> exec >> fork >> signal >> report.addressSpaceLimit >> perf >> bpf >> flock
        >> flags >> ioctl;
    report.fileReads.resize(in.count(64));
    for (qint32& error : report.fileReads)
        in >> error;
    report.environment.resize(in.count(4096));
    for (QByteArray& name : report.environment)
        in >> name;
    report.perfEvent = perf;
    report.bpf = bpf;
    report.flock = flock;
    report.setFileFlags = flags;
    report.ioctl = ioctl;
    report.inetSocket = inet;
    report.unixSocket = local;
    report.fileWrite = write;
    report.exec = exec;
    report.fork = fork;
    report.signalParent = signal;
    return in.complete() ? std::optional(report) : std::nullopt;
}

QByteArray encode(const Hello& hello)
{
    Writer out;
    out << hello.version << hello.confinement;
    return out.bytes();
}

std::optional<Hello> parseHello(const QByteArray& payload)
{
    Reader in(payload);
    Hello hello;
    in >> hello.version >> hello.confinement;
    return in.complete() ? std::optional(hello) : std::nullopt;
}

std::optional<std::pair<int, int>> jpegSize(const QByteArray& jpeg)
{
    const auto* data = reinterpret_cast<const quint8*>(jpeg.constData());
    const qsizetype size = jpeg.size();
    if (size < 4 || data[0] != 0xff || data[1] != 0xd8)
        return std::nullopt;
    qsizetype pos = 2;
    while (pos + 4 <= size) {
        if (data[pos] != 0xff)
            return std::nullopt;
        const quint8 marker = data[pos + 1];
        if (marker == 0xff) { // fill byte
            ++pos;
            continue;
        }
        pos += 2;
        if (marker == 0x01 || (marker >= 0xd0 && marker <= 0xd7))
            continue; // no length follows
        if (marker == 0xd9 || marker == 0xda)
            return std::nullopt; // the end, or scan data, before any frame header
        const qsizetype length = qsizetype(data[pos]) << 8 | data[pos + 1];
        if (length < 2 || pos + length > size)
            return std::nullopt;
        // SOF0..SOF15; C4, C8 and CC are other tables.
        if (marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc) {
            if (length < 8)
                return std::nullopt;
            const int height = data[pos + 3] << 8 | data[pos + 4];
            const int width = data[pos + 5] << 8 | data[pos + 6];
            if (width == 0 || height == 0)
                return std::nullopt;
            return std::pair { width, height };
        }
        pos += length;
    }
    return std::nullopt;
}

} // namespace DecoderProtocol

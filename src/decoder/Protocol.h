// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "decoder/DecodeJobs.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QList>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

// The messages between the pool and its worker processes. Each message is a 4-byte little-endian
// length and that many bytes. A worker first says hello; then one request is answered by one reply,
// except a request for dates, which is answered by one reply per file as each file is done. The files
// travel as descriptors beside the request. Parsing never trusts its input: a worker that was taken
// over by a malicious file must not be able to harm its caller, so every size is bounded and every
// value checked.
namespace DecoderProtocol {

// Raised whenever a message changes shape; a worker of another version is refused.
constexpr quint32 Version = 3;

enum class Operation : quint8
{
    Decode = 1,
    Dates = 2,
    Probe = 3, // tries what the sandbox forbids and reports what happened
};

constexpr quint32 MaxMessage = 64 * 1024 * 1024;
constexpr int MaxFrames = 64;
constexpr qsizetype MaxPath = 4096;
constexpr int MaxDescriptors = 64; // travelling with one request
constexpr qsizetype MaxPictureBytes = 16 * 1024 * 1024;
// Frames, photos and montages are at most a few million pixels; the cap keeps a forged header from
// making the caller allocate gigabytes when it draws one.
constexpr qint64 MaxPicturePixels = 32'000'000;

// What the worker's sandbox holds, as bits of Hello::confinement.
enum Confinement : quint32
{
    NoNewPrivileges = 1,
    SystemCallFilter = 2, // an allowlist that also refuses opening files
    AddressSpaceLimit = 4, // not in sanitizer builds
};
constexpr quint32 RequiredConfinement = NoNewPrivileges | SystemCallFilter;

struct Hello
{
    quint32 version = Version;
    quint32 confinement = 0;
};

// What happened to each attempt of a probe: 0 when it succeeded, else its errno.
struct SandboxReport
{
    int inetSocket = 0;
    int unixSocket = 0;
    int fileWrite = 0;
    int exec = 0;
    int fork = 0;
    int signalParent = 0; // signal 0, which only checks that the process exists
    quint64 addressSpaceLimit = 0; // RLIM_INFINITY when unlimited
    QList<qint32> fileReads; // one per Request::readTargets
    int perfEvent = 0;
    int bpf = 0;
    int flock = 0; // on the descriptor of the file it was handed
    int setFileFlags = 0; // O_APPEND through fcntl on that descriptor
    int ioctl = 0; // FIONBIO on that descriptor
    QByteArrayList environment; // the names of its environment variables
};

struct Request
{
    Operation operation = Operation::Decode;
    DecodeRequest decode;
    std::vector<DatedFile> files; // Dates
    std::filesystem::path target; // Probe: the file it tries to create
    std::vector<std::filesystem::path> readTargets; // Probe: files it tries to read
    // For the file of a Decode or Probe, or each of Dates: whether its descriptor travels along. The
    // descriptors come in this order; a file the caller could not open has none.
    std::vector<quint8> hasDescriptor;
};

struct DateReply
{
    qint32 index = -1;
    // Crosses as numbers: milliseconds since the epoch and an offset from UTC, or a wall-clock time
    // with no known offset, which the receiver reads as its own local time.
    std::optional<QDateTime> date;
    DateSource source = DateSource::Metadata; // the metadata that gave it
};

// The length prefix and the payload.
QByteArray framed(const QByteArray& payload);

// Splits a byte stream into messages. failed() once a length is out of bounds.
class MessageReader
{
public:
    void append(const char* data, qsizetype size);
    std::optional<QByteArray> next();
    bool failed() const
    {
        return m_failed;
    }

private:
    QByteArray m_buffer;
    bool m_failed = false;
};

QByteArray encode(const Request& request);
std::optional<Request> parseRequest(const QByteArray& payload);

QByteArray encode(const Decoded& decoded);
std::optional<Decoded> parseDecoded(const QByteArray& payload);

QByteArray encode(const DateReply& reply);
std::optional<DateReply> parseDateReply(const QByteArray& payload);

QByteArray encode(const SandboxReport& report);
std::optional<SandboxReport> parseSandboxReport(const QByteArray& payload);

QByteArray encode(const Hello& hello);
std::optional<Hello> parseHello(const QByteArray& payload);

// Width and height from a JPEG's frame header, without decoding it; nothing when it has none.
std::optional<std::pair<int, int>> jpegSize(const QByteArray& jpeg);

} // namespace DecoderProtocol

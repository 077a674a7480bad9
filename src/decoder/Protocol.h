// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "decoder/DecodeJobs.h"

#include <QByteArray>

#include <cstdint>
#include <optional>
#include <vector>

// The messages between the pool and its worker processes. Each message is a 4-byte little-endian
// length and that many bytes; one request is answered by one reply, except a request for dates,
// which is answered by one reply per file as each file is done. Parsing never trusts its input: a
// worker that was taken over by a malicious file must not be able to harm its caller.
namespace DecoderProtocol {

enum class Operation : quint8
{
    Decode = 1,
    Dates = 2,
    Probe = 3, // tries what the sandbox forbids and reports what happened
};

constexpr quint32 MaxMessage = 256 * 1024 * 1024;
constexpr int MaxFrames = 64;

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
};

struct Request
{
    Operation operation = Operation::Decode;
    DecodeRequest decode;
    std::vector<DatedFile> files; // Dates
    std::filesystem::path target; // Probe: the file it tries to create
};

struct DateReply
{
    qint32 index = -1;
    std::optional<QDateTime> date;
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

} // namespace DecoderProtocol

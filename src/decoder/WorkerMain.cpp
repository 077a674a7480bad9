// SPDX-License-Identifier: GPL-3.0-or-later
// velmora-decoder: decodes media for the program that started it, one request at a time, from its
// standard input (a Unix socket; each request brings the descriptors of its files) to its standard
// output, until the input closes. It loads what its libraries need, confines itself, says hello with
// what is in force, and dies with its parent. It opens no file itself.
//
// --fault makes it fail on purpose, so tests can prove that its caller survives: a comma-separated list
// of KIND[:NAME[:OPERATION]], where KIND is abort, hang or allocate, NAME a part of the file names it
// applies to (all when empty) and OPERATION decode or dates (both when absent).

#include "decoder/DecodeJobs.h"
#include "decoder/Protocol.h"
#include "decoder/Sandbox.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/perf_event.h>
#include <mutex>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

using namespace DecoderProtocol;

namespace {

struct Fault
{
    std::string kind;
    std::string match;
    std::string operation;
};

std::string field(std::string& rest, char separator)
{
    const size_t end = rest.find(separator);
    std::string first = rest.substr(0, end);
    rest = end == std::string::npos ? std::string() : rest.substr(end + 1);
    return first;
}

std::vector<Fault> parseFaults(const char* value)
{
    std::vector<Fault> faults;
    std::string rest = value ? value : "";
    while (!rest.empty()) {
        std::string item = field(rest, ',');
        Fault fault;
        fault.kind = field(item, ':');
        fault.match = field(item, ':');
        fault.operation = item;
        faults.push_back(fault);
    }
    return faults;
}

[[noreturn]] void allocateWithoutBound()
{
    rlimit limit {};
    ::getrlimit(RLIMIT_AS, &limit);
    // Without the limit this would go on until the machine's memory is gone; stop early instead, so a
    // sandbox that lost its limit fails its test rather than the machine.
    const size_t cap = limit.rlim_cur == RLIM_INFINITY ? size_t(1) << 30 : SIZE_MAX;
    constexpr size_t Chunk = size_t(64) << 20;
    for (size_t total = 0; total < cap; total += Chunk) {
        auto* block = static_cast<volatile char*>(std::malloc(Chunk));
        if (!block)
            break;
        block[0] = 1; // a page of each: the address space is what runs out, not the machine's memory
    }
    std::abort(); // as a library does that finds no memory
}

void injectFault(const std::vector<Fault>& faults, const char* operation, const std::filesystem::path& path)
{
    for (const Fault& fault : faults) {
        if (!fault.match.empty() && path.filename().native().find(fault.match) == std::string::npos)
            continue;
        if (!fault.operation.empty() && fault.operation != operation)
            continue;
        if (fault.kind == "abort")
            std::abort();
        if (fault.kind == "hang")
            for (;;)
                ::pause();
        if (fault.kind == "allocate")
            allocateWithoutBound();
    }
}

bool readExactly(int fd, char* data, size_t size)
{
    while (size > 0) {
        const ssize_t got = ::read(fd, data, size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        data += got;
        size -= size_t(got);
    }
    return true;
}

bool writeAll(int fd, const QByteArray& bytes)
{
    const char* data = bytes.constData();
    size_t size = size_t(bytes.size());
    while (size > 0) {
        const ssize_t wrote = ::write(fd, data, size);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        data += wrote;
        size -= size_t(wrote);
    }
    return true;
}

// The files of the request in hand, as their descriptors; the media libraries' opener hands out
// copies, and nothing else.
std::mutex s_handedMutex;
std::vector<std::pair<std::filesystem::path, int>> s_handed;

int openHanded(const std::filesystem::path& path)
{
    const std::lock_guard lock(s_handedMutex);
    for (const auto& [handed, fd] : s_handed) {
        if (handed == path)
            return ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    }
    errno = EACCES;
    return -1;
}

void hand(std::vector<std::pair<std::filesystem::path, int>> files)
{
    const std::lock_guard lock(s_handedMutex);
    for (auto& [path, fd] : s_handed)
        ::close(fd);
    s_handed = std::move(files);
}

// A request's message, and the descriptors that came with its first bytes.
std::optional<QByteArray> readMessage(int fd, std::vector<int>& descriptors)
{
    unsigned char header[4];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * MaxDescriptors)];
    iovec data { header, sizeof header };
    msghdr message {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got = -1;
    do
        got = ::recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
    while (got < 0 && errno == EINTR);
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); got > 0 && c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        const auto* fds = reinterpret_cast<const int*>(CMSG_DATA(c));
        descriptors.insert(descriptors.end(), fds, fds + count);
    }
    if (got <= 0 || (message.msg_flags & MSG_CTRUNC)
        || !readExactly(fd, reinterpret_cast<char*>(header) + got, sizeof header - size_t(got)))
        return std::nullopt;
    const quint32 size
        = quint32(header[0]) | quint32(header[1]) << 8 | quint32(header[2]) << 16 | quint32(header[3]) << 24;
    if (size > MaxMessage)
        return std::nullopt;
    QByteArray payload(qsizetype(size), Qt::Uninitialized);
    if (!readExactly(fd, payload.data(), size))
        return std::nullopt;
    return payload;
}

int errorOf(int result)
{
    return result < 0 ? errno : 0;
}

SandboxReport probe(const Request& request, int handed)
{
    SandboxReport report;
    for (auto [domain, error] :
        { std::pair { AF_INET, &report.inetSocket }, { AF_UNIX, &report.unixSocket } }) {
        const int fd = ::socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0);
        *error = errorOf(fd);
        if (fd >= 0)
            ::close(fd);
    }
    const int fd = ::open(request.target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    report.fileWrite = errorOf(fd);
    if (fd >= 0)
        ::close(fd);
    for (const std::filesystem::path& path : request.readTargets) {
        const int read = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        report.fileReads.append(errorOf(read));
        if (read >= 0)
            ::close(read);
    }
    perf_event_attr event {};
    event.type = PERF_TYPE_SOFTWARE;
    event.size = sizeof event;
    event.config = PERF_COUNT_SW_CPU_CLOCK;
    const long perf = ::syscall(SYS_perf_event_open, &event, 0, -1, -1, 0);
    report.perfEvent = errorOf(int(perf));
    if (perf >= 0)
        ::close(int(perf));
    report.bpf = errorOf(int(::syscall(SYS_bpf, 0, nullptr, 0)));
    report.flock = errorOf(::flock(handed, LOCK_SH | LOCK_NB));
    report.setFileFlags = errorOf(::fcntl(handed, F_SETFL, O_APPEND | O_NONBLOCK));
    int on = 1;
    report.ioctl = errorOf(::ioctl(handed, FIONBIO, &on));
    for (char** variable = environ; variable && *variable; ++variable)
        report.environment.append(QByteArray(*variable).split('=').constFirst());
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    report.fork = errorOf(child);
    if (child > 0)
        ::waitpid(child, nullptr, 0);
    report.signalParent = errorOf(::kill(::getppid(), 0));
    rlimit limit {};
    ::getrlimit(RLIMIT_AS, &limit);
    report.addressSpaceLimit = limit.rlim_cur;
    // When this succeeds there is no reply at all, which the caller notices just as well.
    char* const arguments[] = { const_cast<char*>("true"), nullptr };
    report.exec = errorOf(::execv("/bin/true", arguments));
    return report;
}

} // namespace

int main(int argc, char* argv[])
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The parent may have died before the line above: then nobody is left to ask anything.
    if (argc >= 3 && std::strcmp(argv[1], "--parent") == 0 && ::getppid() != std::atoi(argv[2]))
        return 0;
    const std::vector<Fault> faults
        = parseFaults(argc == 5 && std::strcmp(argv[3], "--fault") == 0 ? argv[4] : nullptr);
    // Requests and replies get descriptors of their own; what a library prints to standard output
    // must not end up in a reply.
    const int requests = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    const int replies = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (requests < 0 || replies < 0 || null < 0 || ::dup2(null, STDIN_FILENO) < 0
        || ::dup2(null, STDOUT_FILENO) < 0)
        return 1;
    ::close(null);
    // Background work: the caller's interface and network threads go first.
    ::setpriority(PRIO_PROCESS, 0, 10);
    DecodeJobs::prepare(openHanded);
    const Hello hello { Version, Sandbox::confine() };
    if (!writeAll(replies, framed(encode(hello)))
        || (hello.confinement & RequiredConfinement) != RequiredConfinement)
        ::_exit(3); // no file is decoded outside the sandbox

    for (;;) {
        std::vector<int> descriptors;
        const std::optional<QByteArray> message = readMessage(requests, descriptors);
        if (!message)
            ::_exit(0); // the caller closed the pipe or went away; nothing needs cleaning up
        const std::optional<Request> request = parseRequest(*message);
        if (!request
            || size_t(std::count(request->hasDescriptor.begin(), request->hasDescriptor.end(), 1))
                != descriptors.size())
            ::_exit(2);
        // Each file with its descriptor, in the order they came.
        std::vector<std::filesystem::path> paths;
        if (request->operation == Operation::Dates) {
            for (const DatedFile& file : request->files)
                paths.push_back(file.path);
        } else {
            paths.push_back(request->decode.path);
        }
        std::vector<std::pair<std::filesystem::path, int>> files;
        for (size_t i = 0, next = 0; i < paths.size(); ++i) {
            if (request->hasDescriptor[i])
                files.emplace_back(paths[i], descriptors[next++]);
        }
        const int first = descriptors.empty() ? -1 : descriptors.front();
        hand(std::move(files));
        bool ok = true;
        switch (request->operation) {
        case Operation::Decode:
            injectFault(faults, "decode", request->decode.path);
            ok = writeAll(replies, framed(encode(DecodeJobs::decode(request->decode))));
            break;
        case Operation::Dates:
            // One reply per file as soon as it is done: when a file kills the process, the caller
            // knows which one it was and has the dates of those before it.
            for (size_t i = 0; i < request->files.size() && ok; ++i) {
                injectFault(faults, "dates", request->files[i].path);
                DateReply reply { qint32(i), std::nullopt };
                if (const auto date = DecodeJobs::captureDate(request->files[i]))
                    reply = { qint32(i), date->instant, date->source };
                ok = writeAll(replies, framed(encode(reply)));
            }
            break;
        case Operation::Probe:
            ok = writeAll(replies, framed(encode(probe(*request, first))));
            break;
        }
        hand({});
        if (!ok)
            ::_exit(0);
    }
}

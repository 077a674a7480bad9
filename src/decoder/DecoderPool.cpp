// SPDX-License-Identifier: GPL-3.0-or-later
#include "decoder/DecoderPool.h"

#include "decoder/Messages.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QThread>
#include <QtConcurrent/QtConcurrentMap>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <future>
#include <mutex>
#include <poll.h>
#include <set>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace DecoderProtocol;
using Clock = std::chrono::steady_clock;

namespace {

Q_LOGGING_CATEGORY(lcDecoder, "velmora.decoder", QtWarningMsg)

// Each file of a request travels as an open descriptor: a few dozen at a time stay well below the
// limits on descriptors in flight.
constexpr size_t DatesPerRequest = 32;
static_assert(DatesPerRequest <= size_t(MaxDescriptors));
constexpr int ReplyPipeSize = 1 << 20;
// A worker loads and tries its libraries before it says hello; sanitizer builds take a while.
constexpr std::chrono::seconds HelloDeadline { 30 };

bool isExecutable(const std::filesystem::path& path)
{
    struct stat st
    { };
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)
        && ::access(path.c_str(), X_OK) == 0;
}

std::optional<std::filesystem::path> locateWorker()
{
    if (const char* chosen = std::getenv("VELMORA_DECODER"); chosen && *chosen) {
        if (isExecutable(chosen))
            return std::filesystem::path(chosen);
        return std::nullopt;
    }
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::filesystem::path beside
        = error ? std::filesystem::path() : self.parent_path() / "velmora-decoder";
    const std::filesystem::path alongside
        = error ? std::filesystem::path() : self.parent_path() / VELMORA_DECODER_FROM_BINDIR;
    const std::filesystem::path installed = VELMORA_DECODER_INSTALLED;
    const std::filesystem::path built = VELMORA_DECODER_BUILT;
    // A program of the build tree takes the worker built with it, not an older installed one; an
    // installed program never runs what may lie at the build tree's path on this machine.
    const bool inBuildTree = !error && self.native().starts_with(VELMORA_BUILD_DIR "/");
    for (const std::filesystem::path& candidate : inBuildTree
            ? std::array { beside, built, alongside, installed }
            : std::array { beside, alongside, installed, std::filesystem::path() }) {
        if (isExecutable(candidate))
            return candidate;
    }
    return std::nullopt;
}

void closeFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// The file as the worker gets it: opened here, read-only, never blocking on a FIFO or a device (the
// worker then gets no descriptor and finds nothing to decode). Links are followed: the user listed
// them. -1 when it is not a regular file.
int openForWorker(const std::filesystem::path& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    struct stat st
    { };
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)))
        closeFd(fd);
    return fd;
}

// Keeps a pipe's end off descriptors 0-2, where a closed standard stream would let it land and the
// child's own standard streams would then lose it.
int aboveStdio(int fd)
{
    if (fd < 0 || fd > 2)
        return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return moved;
}

// Blocks SIGPIPE in this thread for a write to a pipe whose reader may have died, and takes back the
// signal such a write raised: the default action would end the whole program.
class PipeSignalGuard
{
public:
    PipeSignalGuard()
    {
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &m_pipe, &m_previous);
        sigset_t pending;
        sigpending(&pending);
        m_wasPending = sigismember(&pending, SIGPIPE) == 1;
    }

    ~PipeSignalGuard()
    {
        if (!m_wasPending) {
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                const timespec none {};
                sigtimedwait(&m_pipe, nullptr, &none);
            }
        }
        pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
    }

    PipeSignalGuard(const PipeSignalGuard&) = delete;
    PipeSignalGuard& operator=(const PipeSignalGuard&) = delete;

private:
    sigset_t m_pipe;
    sigset_t m_previous;
    bool m_wasPending = false;
};

// Waits for events on fd, or for the pool to stop (readable wake), or for the deadline.
bool waitFor(int fd, short events, int wake, Clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd fds[2] = { { fd, events, 0 }, { wake, POLLIN, 0 } };
        const int ready = ::poll(fds, 2, int(std::min<long long>(left, 60'000)));
        if (ready < 0 && errno != EINTR)
            return false;
        if (ready > 0)
            return fds[1].revents == 0 && fds[0].revents != 0;
    }
}

// PR_SET_PDEATHSIG ties a worker to the thread that started it rather than to the process, and the
// callers are pool threads that come and go. One thread that lives as long as the process starts
// every worker. Never destroyed: workers may be started until the very end.
class Spawner
{
public:
    static Spawner& instance()
    {
        static Spawner* const spawner = new Spawner;
        return *spawner;
    }

    template <typename Job> auto run(Job job) -> decltype(job())
    {
        using Result = decltype(job());
        auto promise = std::make_shared<std::promise<Result>>();
        std::future<Result> result = promise->get_future();
        {
            std::lock_guard lock(m_mutex);
            m_jobs.emplace_back([promise, job] { promise->set_value(job()); });
        }
        m_wake.notify_one();
        return result.get();
    }

private:
    Spawner()
    {
        std::thread([this] { loop(); }).detach();
    }

    [[noreturn]] void loop()
    {
        for (;;) {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return !m_jobs.empty(); });
            const std::function<void()> job = std::move(m_jobs.front());
            m_jobs.pop_front();
            lock.unlock();
            job();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
};

// A killed worker is normally gone within microseconds; one stuck in the kernel (a stalled network
// mount) is left to a thread of its own rather than holding up its caller.
void reap(pid_t pid)
{
    for (int i = 0; i < 200; ++i) {
        const pid_t done = ::waitpid(pid, nullptr, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR))
            return;
        ::usleep(1000);
    }
    std::thread([pid] {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) { }
    }).detach();
}

std::atomic<DecoderPool*> s_shared { nullptr };

} // namespace

// The files of one request, opened for the worker; closed here once they are on their way.
struct Handed
{
    std::vector<int> descriptors;
    std::vector<quint8> has;

    explicit Handed(const std::vector<std::filesystem::path>& paths)
    {
        for (const std::filesystem::path& path : paths) {
            const int fd = openForWorker(path);
            has.push_back(fd >= 0);
            if (fd >= 0)
                descriptors.push_back(fd);
        }
    }

    ~Handed()
    {
        for (int& fd : descriptors)
            closeFd(fd);
    }

    Handed(const Handed&) = delete;
    Handed& operator=(const Handed&) = delete;
};

struct DecoderPool::Worker
{
    pid_t pid = -1;
    int input = -1; // the worker's standard input, a Unix socket: descriptors travel with requests
    int output = -1; // its standard output, a pipe
    MessageReader reader;

    ~Worker()
    {
        closeFd(input);
        closeFd(output);
    }
};

struct DecoderPool::State
{
    Options options;
    std::filesystem::path executable;
    bool isolated = false;
    int maxWorkers = 2;
    int wake[2] = { -1, -1 }; // readable once the pool stops

    std::mutex mutex;
    std::condition_variable available;
    std::vector<std::unique_ptr<Worker>> idle;
    std::set<pid_t> running; // idle and busy workers
    int starting = 0;
    bool stopping = false;
    // Set once a worker of another version or without its sandbox answered: no file goes to one.
    std::atomic<bool> refused { false };

    enum class Step
    {
        More,
        Done,
        Broken,
    };

    std::unique_ptr<Worker> start() const;
    bool greet(Worker& worker);
    std::unique_ptr<Worker> acquire();
    void release(std::unique_ptr<Worker> worker, bool healthy);
    void retire(std::unique_ptr<Worker> worker);
    bool send(Worker& worker,
        const QByteArray& message,
        const std::vector<int>& descriptors,
        Clock::time_point deadline) const;
    bool receive(Worker& worker,
        std::chrono::milliseconds allowance,
        const std::function<Step(const QByteArray&)>& take) const;
    bool exchange(Worker& worker,
        Request request,
        const std::vector<std::filesystem::path>& files,
        std::chrono::milliseconds allowance,
        const std::function<Step(const QByteArray&)>& take) const;
    void datesOf(const std::vector<DatedFile>& files,
        size_t begin,
        size_t end,
        std::vector<std::optional<FileDates::CaptureDate>>& dates);
};

std::unique_ptr<DecoderPool::Worker> DecoderPool::State::start() const
{
    int toWorker[2];
    int fromWorker[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, toWorker) != 0)
        return nullptr;
    if (::pipe2(fromWorker, O_CLOEXEC) != 0) {
        ::close(toWorker[0]);
        ::close(toWorker[1]);
        return nullptr;
    }
    auto worker = std::make_unique<Worker>();
    int workerInput = aboveStdio(toWorker[0]);
    int workerOutput = aboveStdio(fromWorker[1]);
    worker->input = aboveStdio(toWorker[1]);
    worker->output = aboveStdio(fromWorker[0]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, workerInput, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, workerOutput, STDOUT_FILENO);
    // What the libraries print is of no use to the user.
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // Nothing else of this process reaches the worker, whether or not it was opened close-on-exec.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own process group: Ctrl+C in a terminal is for the program; the workers follow it out.
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    sigset_t signalSet;
    sigemptyset(&signalSet);
    posix_spawnattr_setsigmask(&attributes, &signalSet);
    sigfillset(&signalSet);
    posix_spawnattr_setsigdefault(&attributes, &signalSet);
    posix_spawnattr_setpgroup(&attributes, 0);

    std::string program = executable.native();
    std::string flag = "--parent";
    std::string parent = std::to_string(::getpid());
    std::vector<char*> arguments { program.data(), flag.data(), parent.data() };
    // Failures on purpose, for tests; the environment they are named in stays here.
    std::string faultFlag = "--fault";
    std::string fault = qEnvironmentVariable("VELMORA_DECODER_FAULT").toStdString();
    if (!fault.empty())
        arguments.insert(arguments.end(), { faultFlag.data(), fault.data() });
    arguments.push_back(nullptr);
    // Nothing of this process's environment (API keys, session addresses) reaches a worker, except the
    // time zone: a capture time without an offset means the same wall-clock time on both sides.
    std::string zone = "TZ=" + qEnvironmentVariable("TZ").toStdString();
    std::vector<char*> environment;
    if (qEnvironmentVariableIsSet("TZ"))
        environment.push_back(zone.data());
    environment.push_back(nullptr);
    const int error = ::posix_spawn(
        &worker->pid, program.c_str(), &actions, &attributes, arguments.data(), environment.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    closeFd(workerInput);
    closeFd(workerOutput);
    if (error != 0 || worker->input < 0 || worker->output < 0) {
        qCWarning(lcDecoder) << "cannot start" << program.c_str() << std::strerror(error);
        if (error == 0) {
            ::kill(worker->pid, SIGKILL);
            reap(worker->pid);
        }
        return nullptr;
    }
    ::fcntl(worker->input, F_SETFL, O_NONBLOCK);
    ::fcntl(worker->output, F_SETFL, O_NONBLOCK);
    // Pictures travel in fewer, larger pieces.
    ::fcntl(worker->output, F_SETPIPE_SZ, ReplyPipeSize);
    return worker;
}

// The worker's first message names its protocol and its sandbox. A worker of another version, or one
// whose sandbox is not in force, is refused, and so is every later one: the user is told once.
bool DecoderPool::State::greet(Worker& worker)
{
    std::optional<Hello> hello;
    const bool answered = receive(worker, HelloDeadline, [&](const QByteArray& message) {
        hello = parseHello(message);
        return hello ? Step::Done : Step::Broken;
    });
    if (!answered)
        return false; // it died or hung while starting: a later request tries a fresh one
    const QString* problem = hello->version != Version                      ? &DecoderMessages::WorkerMismatch
        : (hello->confinement & RequiredConfinement) != RequiredConfinement ? &DecoderMessages::SandboxMissing
                                                                            : nullptr;
    if (!problem)
        return true;
    if (!refused.exchange(true))
        std::fprintf(stderr, "%s\n", qUtf8Printable(*problem));
    return false;
}

std::unique_ptr<DecoderPool::Worker> DecoderPool::State::acquire()
{
    std::unique_lock lock(mutex);
    for (;;) {
        if (stopping || refused)
            return nullptr;
        while (!idle.empty()) {
            std::unique_ptr<Worker> worker = std::move(idle.back());
            idle.pop_back();
            // One that died while it waited (killed from outside) would fail the request it is given.
            pollfd output { worker->output, POLLIN, 0 };
            if (::poll(&output, 1, 0) == 0)
                return worker;
            lock.unlock();
            retire(std::move(worker));
            lock.lock();
        }
        if (int(running.size()) + starting < maxWorkers) {
            ++starting;
            lock.unlock();
            std::unique_ptr<Worker> worker = Spawner::instance().run([this] { return start(); });
            if (worker && !greet(*worker)) {
                retire(std::move(worker));
                worker.reset();
            }
            lock.lock();
            --starting;
            if (worker)
                running.insert(worker->pid);
            if (worker && stopping) {
                lock.unlock();
                retire(std::move(worker));
                return nullptr;
            }
            available.notify_one();
            return worker;
        }
        available.wait(lock);
    }
}

void DecoderPool::State::release(std::unique_ptr<Worker> worker, bool healthy)
{
    if (healthy) {
        std::lock_guard lock(mutex);
        if (!stopping) {
            idle.push_back(std::move(worker));
            available.notify_one();
            return;
        }
    }
    retire(std::move(worker));
}

void DecoderPool::State::retire(std::unique_ptr<Worker> worker)
{
    {
        // Out of the set before it is reaped, so shutdown() never signals a process id that was
        // given to someone else meanwhile.
        std::lock_guard lock(mutex);
        running.erase(worker->pid);
        available.notify_one();
    }
    closeFd(worker->input);
    ::kill(worker->pid, SIGKILL);
    reap(worker->pid);
}

bool DecoderPool::State::send(Worker& worker,
    const QByteArray& message,
    const std::vector<int>& descriptors,
    Clock::time_point deadline) const
{
    const PipeSignalGuard guard;
    qsizetype done = 0;
    // The descriptors go with the first bytes of the message, where the worker looks for them.
    std::vector<char> control(CMSG_SPACE(sizeof(int) * descriptors.size()));
    while (done < message.size()) {
        iovec data { const_cast<char*>(message.constData()) + done, size_t(message.size() - done) };
        msghdr header {};
        header.msg_iov = &data;
        header.msg_iovlen = 1;
        if (done == 0 && !descriptors.empty()) {
            header.msg_control = control.data();
            header.msg_controllen = control.size();
            cmsghdr* rights = CMSG_FIRSTHDR(&header);
            rights->cmsg_level = SOL_SOCKET;
            rights->cmsg_type = SCM_RIGHTS;
            rights->cmsg_len = CMSG_LEN(sizeof(int) * descriptors.size());
            std::memcpy(CMSG_DATA(rights), descriptors.data(), sizeof(int) * descriptors.size());
        }
        const ssize_t wrote = ::sendmsg(worker.input, &header, MSG_NOSIGNAL);
        if (wrote > 0) {
            done += wrote;
        } else if (wrote < 0 && errno == EAGAIN) {
            if (!waitFor(worker.input, POLLOUT, wake[0], deadline))
                return false;
        } else if (wrote == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

// Sends the request with the descriptors of its files and hands each reply to take until it says the
// last one is in. The deadline runs from the request, and afresh from each reply.
bool DecoderPool::State::exchange(Worker& worker,
    Request request,
    const std::vector<std::filesystem::path>& files,
    std::chrono::milliseconds allowance,
    const std::function<Step(const QByteArray&)>& take) const
{
    {
        const Handed handed(files);
        request.hasDescriptor = handed.has;
        if (!send(worker, framed(encode(request)), handed.descriptors, Clock::now() + allowance))
            return false;
    }
    return receive(worker, allowance, take);
}

// Hands each message to take until it says the last one is in; false when the worker fails first. The
// deadline runs afresh from each message.
bool DecoderPool::State::receive(Worker& worker,
    std::chrono::milliseconds allowance,
    const std::function<Step(const QByteArray&)>& take) const
{
    Clock::time_point deadline = Clock::now() + allowance;
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        while (const std::optional<QByteArray> message = worker.reader.next()) {
            switch (take(*message)) {
            case Step::Done:
                return true;
            case Step::Broken:
                return false;
            case Step::More:
                deadline = Clock::now() + allowance;
            }
        }
        if (worker.reader.failed() || !waitFor(worker.output, POLLIN, wake[0], deadline))
            return false;
        const ssize_t got = ::read(worker.output, buffer.data(), buffer.size());
        if (got > 0)
            worker.reader.append(buffer.data(), got);
        else if (got == 0 || (errno != EINTR && errno != EAGAIN))
            return false; // the worker died: crashed, ran out of memory, or was killed
    }
}

void DecoderPool::State::datesOf(const std::vector<DatedFile>& files,
    size_t begin,
    size_t end,
    std::vector<std::optional<FileDates::CaptureDate>>& dates)
{
    if (!isolated) {
        for (size_t i = begin; i < end && options.dateHere; ++i)
            dates[i] = options.dateHere(files[i]);
        return;
    }
    while (begin < end) {
        std::unique_ptr<Worker> worker = acquire();
        if (!worker)
            return;
        Request request;
        request.operation = Operation::Dates;
        request.files.assign(files.begin() + qsizetype(begin), files.begin() + qsizetype(end));
        std::vector<std::filesystem::path> paths;
        for (const DatedFile& file : request.files)
            paths.push_back(file.path);
        size_t next = begin;
        const bool healthy
            = exchange(*worker, request, paths, options.dateDeadline, [&](const QByteArray& message) {
                  const std::optional<DateReply> reply = parseDateReply(message);
                  if (!reply || reply->index != qint32(next - begin))
                      return Step::Broken;
                  if (reply->date)
                      dates[next] = FileDates::CaptureDate { *reply->date, reply->source };
                  ++next;
                  return next == end ? Step::Done : Step::More;
              });
        release(std::move(worker), healthy);
        if (healthy)
            return;
        // The file in hand when the worker failed goes without a date; the rest go to a fresh one.
        qCInfo(lcDecoder) << "worker failed on" << files[next].path.c_str();
        begin = next + 1;
    }
}

DecoderPool::DecoderPool()
    : DecoderPool(Options())
{ }

DecoderPool::DecoderPool(Options options)
    : d(std::make_unique<State>())
{
    d->options = std::move(options);
    d->maxWorkers
        = d->options.maxWorkers > 0 ? d->options.maxWorkers : std::clamp(QThread::idealThreadCount(), 2, 4);
    if (!d->options.decodeHere) {
        const std::optional<std::filesystem::path> found
            = d->options.executable.empty() ? locateWorker() : std::optional(d->options.executable);
        d->isolated = found && isExecutable(*found);
        if (d->isolated) {
            d->executable = *found;
        } else {
            static std::once_flag once;
            std::call_once(
                once, [] { std::fprintf(stderr, "%s\n", qUtf8Printable(DecoderMessages::WorkerMissing)); });
        }
    }
    if (::pipe2(d->wake, O_CLOEXEC) != 0)
        d->wake[0] = d->wake[1] = -1;
}

DecoderPool::~DecoderPool()
{
    shutdown();
    closeFd(d->wake[0]);
    closeFd(d->wake[1]);
}

DecoderPool& DecoderPool::shared()
{
    static DecoderPool* const pool = [] {
        auto* created = new DecoderPool;
        s_shared = created;
        // Calls in flight must return before anything waits for them: QCoreApplication's destructor
        // runs its post routines before it waits for the global thread pool, and the exit handler
        // covers a program without an application object. Never deleted: a pool thread may still be
        // on its way out of a call.
        if (QCoreApplication::instance())
            qAddPostRoutine([] { s_shared.load()->shutdown(); });
        std::atexit([] { s_shared.load()->shutdown(); });
        return created;
    }();
    return *pool;
}

Decoded DecoderPool::decode(const DecodeRequest& request)
{
    if (!d->isolated)
        return d->options.decodeHere ? d->options.decodeHere(request) : Decoded();
    std::unique_ptr<Worker> worker = d->acquire();
    if (!worker)
        return {};
    std::optional<Decoded> decoded;
    const bool healthy = d->exchange(*worker, Request { Operation::Decode, request, {}, {}, {}, {} },
        { request.path }, d->options.decodeDeadline, [&](const QByteArray& m) {
            decoded = parseDecoded(m);
            return decoded ? State::Step::Done : State::Step::Broken;
        });
    if (!healthy)
        qCInfo(lcDecoder) << "worker failed on" << request.path.c_str();
    d->release(std::move(worker), healthy);
    return healthy && decoded ? *decoded : Decoded();
}

std::vector<std::optional<FileDates::CaptureDate>> DecoderPool::captureDates(
    const std::vector<DatedFile>& files)
{
    std::vector<std::optional<FileDates::CaptureDate>> dates(files.size());
    std::vector<std::pair<size_t, size_t>> ranges;
    for (size_t begin = 0; begin < files.size(); begin += DatesPerRequest)
        ranges.emplace_back(begin, std::min(files.size(), begin + DatesPerRequest));
    auto run = [&](const std::pair<size_t, size_t>& range) {
        d->datesOf(files, range.first, range.second, dates);
    };
    // Requests go to several workers at once; the calling thread takes its share.
    if (ranges.size() == 1)
        run(ranges.front());
    else if (ranges.size() > 1)
        QtConcurrent::blockingMap(ranges, run);
    return dates;
}

std::optional<SandboxReport> DecoderPool::probeSandbox(const std::filesystem::path& target,
    const std::vector<std::filesystem::path>& readTargets,
    const std::filesystem::path& handed)
{
    if (!d->isolated)
        return std::nullopt;
    std::unique_ptr<Worker> worker = d->acquire();
    if (!worker)
        return std::nullopt;
    Request request;
    request.operation = Operation::Probe;
    request.target = target;
    request.readTargets = readTargets;
    std::optional<SandboxReport> report;
    const bool healthy
        = d->exchange(*worker, request, { handed }, d->options.decodeDeadline, [&](const QByteArray& m) {
              report = parseSandboxReport(m);
              return report ? State::Step::Done : State::Step::Broken;
          });
    d->release(std::move(worker), healthy);
    return healthy ? report : std::nullopt;
}

bool DecoderPool::isIsolated() const
{
    return d->isolated;
}

void DecoderPool::shutdown()
{
    std::vector<std::unique_ptr<Worker>> idle;
    {
        std::lock_guard lock(d->mutex);
        if (d->stopping)
            return;
        d->stopping = true;
        idle.swap(d->idle);
        // Busy workers die here; their callers see the pipe close, or the wake-up below.
        for (const pid_t pid : d->running)
            ::kill(pid, SIGKILL);
        d->available.notify_all();
    }
    if (d->wake[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t wrote = ::write(d->wake[1], &byte, 1);
    }
    for (std::unique_ptr<Worker>& worker : idle)
        d->retire(std::move(worker));
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "decoder/Sandbox.h"

#include "decoder/Protocol.h"

#include <cerrno>
#include <fcntl.h>
#include <initializer_list>
#include <linux/sched.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace Sandbox {

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool HasShadowMemory = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool HasShadowMemory = true;
#else
constexpr bool HasShadowMemory = false;
#endif
#else
constexpr bool HasShadowMemory = false;
#endif

bool limit(int resource, rlim_t value)
{
    const rlimit limit { value, value };
    return ::setrlimit(resource, &limit) == 0;
}

struct Filter
{
    // Whatever is not listed fails with EPERM: perf_event_open, bpf, flock, userfaultfd, memfd_create…
    scmp_filter_ctx context = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    bool ok = context != nullptr;

    ~Filter()
    {
        if (context)
            seccomp_release(context);
    }

    // Calls the kernel of this machine does not have are skipped by libseccomp's name lookup.
    void add(uint32_t action, std::initializer_list<const char*> names)
    {
        for (const char* name : names) {
            const int call = seccomp_syscall_resolve_name(name);
            if (call != __NR_SCMP_ERROR && ok)
                ok = seccomp_rule_add(context, action, call, 0) == 0;
        }
    }

    void allow(std::initializer_list<const char*> names)
    {
        add(SCMP_ACT_ALLOW, names);
    }

    void addIf(uint32_t action, const char* name, scmp_arg_cmp condition)
    {
        const int call = seccomp_syscall_resolve_name(name);
        if (call != __NR_SCMP_ERROR && ok)
            ok = seccomp_rule_add(context, action, call, 1, condition) == 0;
    }
};

} // namespace

std::uint32_t confine()
{
    using namespace DecoderProtocol;
    std::uint32_t confined = 0;
    limit(RLIMIT_CORE, 0);
    // A core_pattern that pipes to a program ignores RLIMIT_CORE; not dumpable, nothing is handed to it
    // (and no process of the same user may trace this one).
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    // The sanitizers reserve terabytes of shadow address space; their builds do without this limit.
    if (!HasShadowMemory && limit(RLIMIT_AS, AddressSpaceLimit))
        confined |= Confinement::AddressSpaceLimit;
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0)
        confined |= Confinement::NoNewPrivileges;

    Filter filter;
    // Reading what it was handed, writing replies, memory, threads, time and its own signals.
    filter.allow({ "read", "readv", "pread64", "preadv", "preadv2", "write", "writev", "lseek", "close",
        "dup", "dup2", "dup3", "recvmsg", "recvfrom", "fstat", "newfstatat", "statx", "stat", "lstat",
        "fadvise64", "mmap", "munmap", "mprotect", "mremap", "madvise", "brk", "membarrier", "futex",
        "futex_waitv", "set_robust_list", "get_robust_list", "rseq", "set_tid_address", "sched_yield",
        "sched_getaffinity", "sched_setaffinity", "sched_getparam", "sched_getscheduler",
        "sched_get_priority_min", "sched_get_priority_max", "gettid", "getpid", "getppid", "getuid",
        "geteuid", "getgid", "getegid", "exit", "exit_group", "nanosleep", "clock_nanosleep", "clock_gettime",
        "clock_getres", "gettimeofday", "time", "times", "getrusage", "getrlimit", "rt_sigaction",
        "rt_sigprocmask", "rt_sigreturn", "sigaltstack", "restart_syscall", "poll", "ppoll", "getrandom",
        "uname", "sysinfo" });
    // Limits may be read, never changed.
    filter.addIf(SCMP_ACT_ALLOW, "prlimit64", SCMP_A2(SCMP_CMP_EQ, 0));
    // Threads name themselves; nothing else of prctl.
    for (const int option : { PR_SET_NAME, PR_GET_NAME })
        filter.addIf(SCMP_ACT_ALLOW, "prctl", SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(option)));
    // Descriptor flags and copies; never the file's flags (append, direct, no-atime) nor locks.
    for (const int command : { F_GETFD, F_SETFD, F_GETFL, F_DUPFD, F_DUPFD_CLOEXEC })
        filter.addIf(SCMP_ACT_ALLOW, "fcntl", SCMP_A1(SCMP_CMP_EQ, scmp_datum_t(command)));
    // Threads, but no further processes (one that escaped the pool's kill would hold its pipes).
    // glibc creates threads with clone3 when it can; told it is missing, it uses clone.
    filter.addIf(SCMP_ACT_ALLOW, "clone", scmp_arg_cmp { 0, SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD });
    filter.add(SCMP_ACT_ERRNO(ENOSYS), { "clone3" });
    // Signals for this process only: its threads, and abort().
    const scmp_datum_t self = scmp_datum_t(::getpid());
    for (const char* name : { "kill", "tgkill", "rt_sigqueueinfo", "rt_tgsigqueueinfo" })
        filter.addIf(SCMP_ACT_ALLOW, name, SCMP_A0(SCMP_CMP_EQ, self));
    // No file is opened any more, for reading or writing: what a library would read now (the user's
    // keys, the settings, another process's memory) is out of reach.
    filter.add(SCMP_ACT_ERRNO(EACCES), { "open", "openat", "openat2", "creat", "open_by_handle_at" });
    // Neither the network nor the local sockets of the session bus or the display server.
    filter.add(SCMP_ACT_ERRNO(EACCES), { "socket", "socketpair" });
    // No terminal control, no file flags through the back door: what a regular file or a pipe answers.
    filter.add(SCMP_ACT_ERRNO(ENOTTY), { "ioctl" });
    if (filter.ok && seccomp_load(filter.context) == 0)
        confined |= Confinement::SystemCallFilter;
    return confined;
}

} // namespace Sandbox

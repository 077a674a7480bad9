// SPDX-License-Identifier: GPL-3.0-or-later
#include "decoder/Sandbox.h"

#include <cerrno>
#include <fcntl.h>
#include <initializer_list>
#include <linux/sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
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

void limit(int resource, rlim_t value)
{
    const rlimit limit { value, value };
    ::setrlimit(resource, &limit);
}

struct Filter
{
    scmp_filter_ctx context = seccomp_init(SCMP_ACT_ALLOW);
    bool ok = context != nullptr;

    ~Filter()
    {
        if (context)
            seccomp_release(context);
    }

    // Calls the kernel of this machine does not have are skipped by libseccomp's name lookup.
    void refuse(std::initializer_list<const char*> names, int error)
    {
        for (const char* name : names) {
            const int call = seccomp_syscall_resolve_name(name);
            if (call != __NR_SCMP_ERROR && ok)
                ok = seccomp_rule_add(context, SCMP_ACT_ERRNO(error), call, 0) == 0;
        }
    }

    void refuseMasked(const char* name, unsigned argument, std::initializer_list<scmp_datum_t> bits)
    {
        const int call = seccomp_syscall_resolve_name(name);
        if (call == __NR_SCMP_ERROR)
            return;
        // One rule per flag: a call is refused when any of them is set.
        for (const scmp_datum_t bit : bits) {
            if (ok)
                ok = seccomp_rule_add(context, SCMP_ACT_ERRNO(EACCES), call, 1,
                         scmp_arg_cmp { argument, SCMP_CMP_MASKED_EQ, bit, bit })
                    == 0;
        }
    }
};

} // namespace

bool confine()
{
    limit(RLIMIT_CORE, 0);
    // A core_pattern that pipes to a program ignores RLIMIT_CORE; not dumpable, nothing is handed to it
    // (and no process of the same user may trace this one).
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    // The sanitizers reserve terabytes of shadow address space; their builds do without this limit.
    if (!HasShadowMemory)
        limit(RLIMIT_AS, AddressSpaceLimit);
    ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);

    Filter filter;
    // Neither the network nor the local sockets of the session bus or the display server.
    filter.refuse({ "socket", "socketpair" }, EACCES);
    filter.refuse({ "execve", "execveat" }, EPERM);
    // Threads, but no further processes (one that escaped the pool's kill would hold its pipes).
    // glibc creates threads with clone3 when it can; told it is missing, it uses clone.
    filter.refuse({ "fork", "vfork" }, EPERM);
    filter.refuse({ "clone3" }, ENOSYS);
    if (filter.ok) {
        const int clone = seccomp_syscall_resolve_name("clone");
        filter.ok = seccomp_rule_add(filter.context, SCMP_ACT_ERRNO(EPERM), clone, 1,
                        scmp_arg_cmp { 0, SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0 })
            == 0;
    }
    // Files open for reading only; nothing on disk is created, changed, moved or removed.
    const std::initializer_list<scmp_datum_t> writing { O_WRONLY, O_RDWR, O_CREAT, O_TRUNC };
    filter.refuseMasked("open", 1, writing);
    filter.refuseMasked("openat", 2, writing);
    // openat2 keeps its flags where a filter cannot look; glibc falls back to openat.
    filter.refuse({ "openat2" }, ENOSYS);
    filter.refuse({ "creat", "truncate", "rename", "renameat", "renameat2", "unlink", "unlinkat", "mkdir",
                      "mkdirat", "rmdir", "link", "linkat", "symlink", "symlinkat", "mknod", "mknodat",
                      "chmod", "fchmod", "fchmodat", "chown", "fchown", "lchown", "fchownat", "utime",
                      "utimes", "utimensat", "futimesat", "setxattr", "lsetxattr", "fsetxattr", "removexattr",
                      "lremovexattr", "fremovexattr", "name_to_handle_at", "open_by_handle_at", "ptrace",
                      "process_vm_writev", "fchmodat2", "setxattrat", "removexattrat" },
        EACCES);
    // No namespaces, mounts or keyrings: much kernel to attack, and nothing a decoder needs.
    filter.refuse(
        { "unshare", "setns", "mount", "umount2", "pivot_root", "fsopen", "fsconfig", "fsmount", "fspick",
            "move_mount", "open_tree", "mount_setattr", "keyctl", "add_key", "request_key" },
        EPERM);
    // Signals for this process only: its threads, and abort().
    const scmp_datum_t self = scmp_datum_t(::getpid());
    for (const char* name : { "kill", "tgkill", "rt_sigqueueinfo", "rt_tgsigqueueinfo" }) {
        if (filter.ok)
            filter.ok = seccomp_rule_add(filter.context, SCMP_ACT_ERRNO(EPERM),
                            seccomp_syscall_resolve_name(name), 1, SCMP_A0(SCMP_CMP_NE, self))
                == 0;
    }
    filter.refuse({ "tkill", "pidfd_send_signal", "pidfd_getfd", "process_vm_readv" }, EPERM);
    // io_uring performs opens and writes that the filter never sees.
    filter.refuse({ "io_uring_setup", "io_uring_enter", "io_uring_register" }, ENOSYS);
    // Typing into the user's terminal works through a descriptor opened for reading.
    if (filter.ok)
        filter.ok = seccomp_rule_add(filter.context, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(ioctl), 1,
                        SCMP_A1(SCMP_CMP_EQ, TIOCSTI))
            == 0;
    return filter.ok && seccomp_load(filter.context) == 0;
}

} // namespace Sandbox

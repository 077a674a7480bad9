// SPDX-License-Identifier: GPL-3.0-or-later
#include "naming/FileMoves.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::function<void(FileMoves::Step, const std::filesystem::path&)> s_stepHook;
bool s_forceHardLinks = false;

} // namespace

namespace FileMoves {

int moveNoReplace(const std::filesystem::path& from, const std::filesystem::path& to)
{
    return moveNoReplaceAt(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str());
}

int moveNoReplaceAt(int fromDir, const char* from, int toDir, const char* to)
{
    if (!s_forceHardLinks) {
        if (::renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0)
            return 0;
        const int error = errno;
        // Only file systems that do not know the flag (some network and FUSE ones) get the fallback.
        if (error != EINVAL && error != ENOSYS && error != EOPNOTSUPP)
            return error;
    }
    // link() refuses an existing target just as RENAME_NOREPLACE does. Between the two calls the file
    // has both names, which loses nothing; recovery removes the extra name.
    if (::linkat(fromDir, from, toDir, to, 0) != 0)
        return errno;
    reach(Step::AfterLink, to);
    if (::unlinkat(fromDir, from, 0) != 0) {
        const int error = errno;
        ::unlinkat(toDir, to, 0);
        return error;
    }
    return 0;
}

PathState stateOf(const std::filesystem::path& path)
{
    struct stat st
    { };
    if (::lstat(path.c_str(), &st) == 0)
        return PathState::Taken;
    return errno == ENOENT ? PathState::Free : PathState::Unusable;
}

void setStepHook(std::function<void(Step, const std::filesystem::path&)> hook)
{
    s_stepHook = std::move(hook);
}

void setForceHardLinks(bool force)
{
    s_forceHardLinks = force;
}

void reach(Step step, const std::filesystem::path& path)
{
    if (s_stepHook)
        s_stepHook(step, path);
}

} // namespace FileMoves

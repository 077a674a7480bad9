// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <filesystem>
#include <functional>

// File moves that never replace an existing file, for the renamer and its undo. Blocking system
// calls on the caller's thread.
namespace FileMoves {

// Moves from to to within one file system. 0 on success, otherwise the errno: EEXIST when to is
// taken (also when it appeared a moment ago), ENAMETOOLONG when the name does not fit.
int moveNoReplace(const std::filesystem::path& from, const std::filesystem::path& to);
// The same relative to open folders (AT_FDCWD for none), as renameat2 takes them.
int moveNoReplaceAt(int fromDir, const char* from, int toDir, const char* to);

enum class PathState
{
    Free,
    Taken,
    Unusable, // the name cannot be looked up (too long, a parent is not a folder, no permission)
};

// Whether anything (a file, folder or dangling symbolic link) is at path.
PathState stateOf(const std::filesystem::path& path);

// Test seams. The step hook runs at each step of a batch, so tests can race a file into place or kill
// the process at an exact point; forceHardLinks makes every move take the link-and-unlink path.
enum class Step
{
    BeforeMove,
    AfterLink,
    AfterMove,
    LogWritten,
};
void setStepHook(std::function<void(Step, const std::filesystem::path&)> hook);
void setForceHardLinks(bool force);
void reach(Step step, const std::filesystem::path& path);

} // namespace FileMoves

// Starting child processes without a shell (internal to platform/posix).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace pyn {
namespace posix {

// The path exec should use for `program`: unchanged when it holds a '/'
// (made absolute when `absolute` is set, so a later change of directory
// does not move it), else the first executable regular file of that name
// in PATH ("/bin:/usr/bin" when PATH is unset). "" when none is found.
std::string ResolveProgram(const std::string& program, bool absolute);

struct SpawnRequest {
    std::string path;               // from ResolveProgram
    std::vector<std::string> argv;  // argv[0] first
    std::string workDir;            // "" keeps the current directory
    int stdinFd = -1;               // descriptors for 0, 1 and 2 (must be valid)
    int stdoutFd = -1;
    int stderrFd = -1;
    // Detached: the program runs in a session of its own as a grandchild
    // that init adopts, so it never becomes our zombie. Otherwise it is our
    // child, leader of a process group of its own (so the group can be
    // ended as a whole), and the caller must reap it.
    bool detached = false;
};

// Starts the program; returns its pid once exec has succeeded, or -1 with
// `*error` set to the errno of the failing step. The child inherits no
// descriptor besides 0, 1 and 2, no blocked signals and no ignored signals.
// Only async-signal-safe calls run between fork and exec.
pid_t Spawn(const SpawnRequest& request, int* error);

// Reaps the child `pid`; returns its exit status (128 + the signal number
// when a signal ended it) or -1 when the status cannot be had.
int WaitChild(pid_t pid);

}  // namespace posix
}  // namespace pyn

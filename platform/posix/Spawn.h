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
    // that init adopts, so it never becomes our zombie.
    //
    // Otherwise (supervised) our child is a supervisor that runs the program
    // as its own child, leader of a process group of its own. The supervisor
    // is a child subreaper: every process below the program whose parent
    // ends is handed to it, whatever session or group it moved to, and it
    // reaps them. When the program ends, the supervisor exits with the
    // program's status (processes the program left running go on). When it
    // is asked to end (EndSupervised, or the control channel's end of file
    // because this process died), it kills the program's group and then
    // every process handed to it, round after round, until it has no child
    // left, and exits. The caller reaps the supervisor.
    bool detached = false;
};

// Starts the program; returns its pid once exec has succeeded (for a
// supervised program the supervisor's pid), or -1 with `*error` set to the
// errno of the failing step. The program inherits no descriptor besides 0,
// 1 and 2, no blocked signals and no ignored signals. Only async-signal-safe
// calls run between fork and exec, and in the supervisor.
// For a supervised program `*control` receives the control channel
// (close-on-exec), which the caller closes once the supervisor is reaped.
pid_t Spawn(const SpawnRequest& request, int* error, int* control = nullptr);

// Asks the supervisor behind `control` to end the program with every
// process below it; the caller then reaps the supervisor (WaitChild), which
// exits once all of them have gone.
void EndSupervised(int control);

// Reaps the child `pid`; returns its exit status (128 + the signal number
// when a signal ended it) or -1 when the status cannot be had.
int WaitChild(pid_t pid);

}  // namespace posix
}  // namespace pyn

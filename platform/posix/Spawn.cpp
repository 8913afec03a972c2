#include "Spawn.h"

#include "common/TextAndFileHelpers.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdint>

extern char** environ;

namespace pyn {
namespace posix {
namespace {

bool IsExecutableFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string CurrentDir() {
    std::string buf(PATH_MAX, '\0');
    if (!getcwd(&buf[0], buf.size())) return std::string();
    buf.resize(strlen(buf.c_str()));
    return buf;
}

// Status records the child writes to the parent; one write each, smaller
// than PIPE_BUF, so records never interleave.
struct Record {
    int32_t kind;  // kPid or kError
    int32_t pad;
    int64_t value;
};
const int32_t kPid = 1;
const int32_t kError = 2;

// --- Between fork and exec, and in the supervisor: async-signal-safe calls
// only (another thread may have held the allocator's lock at the fork). ---

void SendRecord(int fd, int32_t kind, int64_t value) {
    Record r{kind, 0, value};
    while (write(fd, &r, sizeof r) < 0 && errno == EINTR) {
    }
}

[[noreturn]] void FailChild(int statusFd, int error) {
    SendRecord(statusFd, kError, error);
    _exit(127);
}

void CloseRange(int first, int last) {
    if (first > last) return;
#ifdef SYS_close_range
    if (syscall(SYS_close_range, static_cast<unsigned>(first), static_cast<unsigned>(last), 0u) == 0)
        return;
#endif
    struct rlimit rl;
    int limit = 65536;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < 1u << 20)
        limit = static_cast<int>(rl.rlim_cur);
    for (int fd = first; fd <= last && fd < limit; ++fd) close(fd);
}

// Closes every descriptor from 3 on but `keepA` and `keepB` (-1: none).
void CloseAllBut(int keepA, int keepB) {
    int keep[2] = {keepA < keepB ? keepA : keepB, keepA < keepB ? keepB : keepA};
    int next = 3;
    for (int fd : keep) {
        if (fd < next) continue;
        CloseRange(next, fd - 1);
        next = fd + 1;
    }
    CloseRange(next, INT_MAX);
}

// A copy of `fd` at 3 or above (the standard slots are about to be reused).
int MoveUp(int fd, int statusFd, bool cloexec) {
    if (fd > 2) return fd;
    int moved = fcntl(fd, cloexec ? F_DUPFD_CLOEXEC : F_DUPFD, 3);
    if (moved < 0) FailChild(statusFd, errno);
    return moved;
}

// The working directory and descriptors 0, 1 and 2 of the request; every
// other descriptor is closed but the status pipe and `keepFd` (above 2).
void SetUpChild(const SpawnRequest& req, int statusFd, int keepFd) {
    if (!req.workDir.empty() && chdir(req.workDir.c_str()) != 0) FailChild(statusFd, errno);
    int fds[3] = {req.stdinFd, req.stdoutFd, req.stderrFd};
    for (int& fd : fds) fd = MoveUp(fd, statusFd, false);
    for (int i = 0; i < 3; ++i) {
        if (dup2(fds[i], i) < 0) FailChild(statusFd, errno);
    }
    CloseAllBut(statusFd, keepFd);
}

// Every signal to its default action; `mask` blocked.
void ResetSignals(const sigset_t& mask) {
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &dfl, nullptr);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
}

[[noreturn]] void Exec(const SpawnRequest& req, char* const* argv, int statusFd) {
    sigset_t none;
    sigemptyset(&none);
    ResetSignals(none);
    execve(req.path.c_str(), argv, environ);
    FailChild(statusFd, errno);
}

// Exits as a program with wait status `raw` would be seen by WaitChild.
[[noreturn]] void ExitAs(int raw) {
    if (WIFEXITED(raw)) _exit(WEXITSTATUS(raw));
    if (WIFSIGNALED(raw)) _exit(128 + WTERMSIG(raw));
    _exit(255);
}

// The parent's pid of process `pid`, read from "<pid>/stat" below the /proc
// directory `proc`; -1 when it has gone. The fields are "pid (name) state
// ppid ...", and the name may hold blanks and parentheses.
pid_t ParentOf(int proc, const char* pidText) {
    char path[32];
    size_t n = 0;
    while (pidText[n] && n < 20) {
        path[n] = pidText[n];
        ++n;
    }
    memcpy(path + n, "/stat", 6);
    int fd = openat(proc, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char stat[512];
    ssize_t got;
    do {
        got = read(fd, stat, sizeof stat - 1);
    } while (got < 0 && errno == EINTR);
    close(fd);
    if (got <= 0) return -1;
    const char* nameEnd = nullptr;
    for (ssize_t i = 0; i < got; ++i) {
        if (stat[i] == ')') nameEnd = stat + i;
    }
    if (!nameEnd || nameEnd + 4 >= stat + got) return -1;
    long ppid = 0;
    for (const char* p = nameEnd + 4; p < stat + got && *p >= '0' && *p <= '9'; ++p) ppid = ppid * 10 + (*p - '0');
    return static_cast<pid_t>(ppid);
}

// Sends SIGKILL to every child of this process, found through /proc (raw
// getdents64 on a buffer of the stack). A child that ends meanwhile stays a
// zombie until we reap it, so its pid cannot name another process here.
void KillChildren() {
    const pid_t self = getpid();
    int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) return;
    alignas(8) char buf[8192];
    for (;;) {
        long n = syscall(SYS_getdents64, proc, buf, sizeof buf);
        if (n <= 0) break;
        // struct linux_dirent64: ino (8 bytes), offset (8), record length (2),
        // type (1), then the name.
        for (long at = 0; at + 19 < n;) {
            unsigned short length;
            memcpy(&length, buf + at + 16, sizeof length);
            const char* name = buf + at + 19;
            at += length;
            if (length == 0) break;
            if (*name < '1' || *name > '9') continue;
            if (ParentOf(proc, name) == self) {
                long pid = 0;
                for (const char* p = name; *p >= '0' && *p <= '9'; ++p) pid = pid * 10 + (*p - '0');
                kill(static_cast<pid_t>(pid), SIGKILL);
            }
        }
    }
    close(proc);
}

// The supervisor's end: the program's group at once, then every child (the
// program, and the processes below it that lost their parent and were handed
// to us), round after round, until none is left.
[[noreturn]] void EndAll(pid_t program) {
    // Not reaped yet, so its group id cannot have passed to another group.
    kill(-program, SIGKILL);
    int status = -1;
    sigset_t none;
    sigemptyset(&none);
    const struct timespec pause = {0, 10 * 1000 * 1000};
    for (;;) {
        KillChildren();
        int raw = 0;
        pid_t r;
        while ((r = waitpid(-1, &raw, WNOHANG)) > 0 || (r < 0 && errno == EINTR)) {
            if (r == program) status = raw;
        }
        if (r < 0) break;  // no child left: everything below us has gone
        // Until a child ends (SIGCHLD), at most a moment: a process handed to
        // us meanwhile is killed in the next round.
        ppoll(nullptr, 0, &pause, &none);
    }
    if (status == -1) _exit(128 + SIGKILL);
    ExitAs(status);
}

void NoteChild(int) {}

// The supervisor, with SIGCHLD blocked: reaps whatever is handed to it until
// the program ends (then exits as the program did) or the control channel
// asks it to end everything (data, or end of file when the parent died).
[[noreturn]] void Supervise(pid_t program, int controlFd) {
    sigset_t none;
    sigemptyset(&none);
    for (;;) {
        int raw = 0;
        pid_t r;
        while ((r = waitpid(-1, &raw, WNOHANG)) > 0 || (r < 0 && errno == EINTR)) {
            if (r == program) ExitAs(raw);
        }
        struct pollfd control = {controlFd, POLLIN, 0};
        int n = ppoll(&control, 1, nullptr, &none);
        if (n > 0 || (n < 0 && errno != EINTR)) break;
    }
    EndAll(program);
}

[[noreturn]] void RunSupervisor(const SpawnRequest& req, char* const* argv, int statusFd, int controlFd) {
    controlFd = MoveUp(controlFd, statusFd, true);
    // A group of its own: signals to the agent's group (a terminal's
    // interrupt) do not reach it.
    if (setpgid(0, 0) != 0) FailChild(statusFd, errno);
    if (prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) FailChild(statusFd, errno);
    SetUpChild(req, statusFd, controlFd);
    struct sigaction note;
    memset(&note, 0, sizeof note);
    note.sa_handler = &NoteChild;
    note.sa_flags = SA_NOCLDSTOP;
    sigset_t child;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    ResetSignals(child);
    sigaction(SIGCHLD, &note, nullptr);
    SendRecord(statusFd, kPid, getpid());

    pid_t program = fork();
    if (program < 0) FailChild(statusFd, errno);
    if (program == 0) {
        close(controlFd);
        if (setpgid(0, 0) != 0) FailChild(statusFd, errno);
        Exec(req, argv, statusFd);
    }
    setpgid(program, program);  // whichever of the two runs first
    close(statusFd);
    // The program's copies are its own: the output pipe ends with it.
    for (int fd = 0; fd < 3; ++fd) close(fd);
    Supervise(program, controlFd);
}

[[noreturn]] void RunChild(const SpawnRequest& req, char* const* argv, int statusFd, int controlFd) {
    statusFd = MoveUp(statusFd, statusFd, true);
    if (!req.detached) RunSupervisor(req, argv, statusFd, controlFd);
    if (setsid() < 0) FailChild(statusFd, errno);
    pid_t grandchild = fork();
    if (grandchild < 0) FailChild(statusFd, errno);
    if (grandchild == 0) {
        SetUpChild(req, statusFd, -1);
        Exec(req, argv, statusFd);
    }
    SendRecord(statusFd, kPid, grandchild);
    _exit(0);
}

}  // namespace

std::string ResolveProgram(const std::string& program, bool absolute) {
    if (program.empty()) return std::string();
    // A relative candidate is made absolute here, so that a later change of
    // directory (or a relative PATH entry) does not move it.
    auto fixed = [absolute](const std::string& candidate) {
        if (!absolute || candidate[0] == '/') return candidate;
        std::string cwd = CurrentDir();
        return cwd.empty() ? std::string() : cwd + "/" + candidate;
    };
    if (program.find('/') != std::string::npos) return fixed(program);
    const char* env = getenv("PATH");
    std::string path = env ? env : "/bin:/usr/bin";
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        std::string dir = path.substr(start, end - start);
        std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + program;
        if (IsExecutableFile(candidate)) return fixed(candidate);
        start = end + 1;
    }
    return std::string();
}

pid_t Spawn(const SpawnRequest& request, int* error, int* control) {
    *error = 0;
    if (control) *control = -1;
    if (request.path.empty() || request.argv.empty() || (!request.detached && !control)) {
        *error = request.path.empty() || request.argv.empty() ? ENOENT : EINVAL;
        return -1;
    }
    // exec would read a text only up to a zero byte: a different program,
    // argument or directory than the one asked for.
    bool zero = detail::HasZeroByte(request.path) || detail::HasZeroByte(request.workDir);
    for (const std::string& arg : request.argv) zero = zero || detail::HasZeroByte(arg);
    if (zero) {
        *error = EINVAL;
        return -1;
    }
    // Everything the child needs is built before fork: the child may not
    // allocate (another thread may hold the allocator's lock).
    std::vector<char*> argv;
    argv.reserve(request.argv.size() + 1);
    for (const std::string& arg : request.argv) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    // A socket rather than a pipe: shutdown() reaches the supervisor even
    // while a child another thread is starting holds a copy of our end, and
    // nothing here can raise SIGPIPE.
    int channel[2] = {-1, -1};
    if (!request.detached && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) {
        *error = errno;
        return -1;
    }
    auto closeChannel = [&channel] {
        for (int& fd : channel) {
            if (fd >= 0) close(fd);
            fd = -1;
        }
    };
    int status[2];
    if (pipe2(status, O_CLOEXEC) != 0) {
        *error = errno;
        closeChannel();
        return -1;
    }
    pid_t child = fork();
    if (child < 0) {
        *error = errno;
        close(status[0]);
        close(status[1]);
        closeChannel();
        return -1;
    }
    if (child == 0) {
        close(status[0]);
        RunChild(request, argv.data(), status[1], channel[1]);
    }
    close(status[1]);
    if (channel[1] >= 0) close(channel[1]);
    channel[1] = -1;

    // The pipe reaches end of file when exec has closed the last copy of its
    // write end, or when the child has given up.
    pid_t started = -1;
    int failure = 0;
    Record r;
    size_t have = 0;
    for (;;) {
        ssize_t n = read(status[0], reinterpret_cast<char*>(&r) + have, sizeof r - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        have += static_cast<size_t>(n);
        if (have < sizeof r) continue;
        have = 0;
        if (r.kind == kPid) started = static_cast<pid_t>(r.value);
        if (r.kind == kError) failure = static_cast<int>(r.value);
    }
    close(status[0]);

    const bool ok = failure == 0 && started > 0;
    if (request.detached || !ok) {
        closeChannel();   // a supervisor still running ends what it started
        WaitChild(child);  // the intermediate child, gone at once
    }
    if (!ok) {
        *error = failure != 0 ? failure : ECHILD;
        return -1;
    }
    if (control) *control = channel[0];
    return started;
}

void EndSupervised(int control) { shutdown(control, SHUT_RDWR); }

int WaitChild(pid_t pid) {
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, 0);
        if (r == pid) break;
        if (r < 0 && errno == EINTR) continue;
        return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace posix
}  // namespace pyn

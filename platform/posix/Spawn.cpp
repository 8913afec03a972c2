#include "Spawn.h"

#include "common/TextAndFileHelpers.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
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

// --- Between fork and exec: async-signal-safe calls only. ---

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

// A copy of `fd` at 3 or above (the standard slots are about to be reused).
int MoveUp(int fd, int statusFd, bool cloexec) {
    if (fd > 2) return fd;
    int moved = fcntl(fd, cloexec ? F_DUPFD_CLOEXEC : F_DUPFD, 3);
    if (moved < 0) FailChild(statusFd, errno);
    return moved;
}

[[noreturn]] void ExecChild(const SpawnRequest& req, char* const* argv, int statusFd) {
    if (!req.workDir.empty() && chdir(req.workDir.c_str()) != 0) FailChild(statusFd, errno);

    int fds[3] = {req.stdinFd, req.stdoutFd, req.stderrFd};
    for (int& fd : fds) fd = MoveUp(fd, statusFd, false);
    for (int i = 0; i < 3; ++i) {
        if (dup2(fds[i], i) < 0) FailChild(statusFd, errno);
    }
    CloseRange(3, statusFd - 1);
    CloseRange(statusFd + 1, INT_MAX);

    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    execve(req.path.c_str(), argv, environ);
    FailChild(statusFd, errno);
}

[[noreturn]] void RunChild(const SpawnRequest& req, char* const* argv, int statusFd) {
    statusFd = MoveUp(statusFd, statusFd, true);
    if (!req.detached) {
        if (setpgid(0, 0) != 0) FailChild(statusFd, errno);
        SendRecord(statusFd, kPid, getpid());
        ExecChild(req, argv, statusFd);
    }
    if (setsid() < 0) FailChild(statusFd, errno);
    pid_t grandchild = fork();
    if (grandchild < 0) FailChild(statusFd, errno);
    if (grandchild == 0) ExecChild(req, argv, statusFd);
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

pid_t Spawn(const SpawnRequest& request, int* error) {
    *error = 0;
    if (request.path.empty() || request.argv.empty()) {
        *error = ENOENT;
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

    int status[2];
    if (pipe2(status, O_CLOEXEC) != 0) {
        *error = errno;
        return -1;
    }
    pid_t child = fork();
    if (child < 0) {
        *error = errno;
        close(status[0]);
        close(status[1]);
        return -1;
    }
    if (child == 0) {
        close(status[0]);
        RunChild(request, argv.data(), status[1]);
    }
    close(status[1]);

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

    if (request.detached) {
        WaitChild(child);  // the intermediate child, gone at once
    } else if (failure != 0) {
        WaitChild(child);
    }
    if (failure != 0 || started <= 0) {
        *error = failure != 0 ? failure : ECHILD;
        return -1;
    }
    return started;
}

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

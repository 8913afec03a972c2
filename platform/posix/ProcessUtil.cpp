// pyn::IProcessUtil on Linux, through /proc.
#include "pyn/ProcessUtil.h"
#include "pyn/NoDestructor.h"
#include "SafeFs.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <new>
#include <set>

#include "Spawn.h"
#include "pyn/FileUtil.h"
#include "pyn/HostSettings.h"
#include "pyn/RunBudget.h"

namespace pyn {
namespace {

struct ProcStat {
    pid_t ppid = -1;
    char state = '?';
    std::string comm;
};

std::string ProcFile(pid_t pid, const char* leaf) {
    return "/proc/" + std::to_string(pid) + "/" + leaf;
}

// Fields of /proc/PID/stat: "pid (comm) state ppid ...". The name may hold
// blanks and parentheses, so it ends at the last ')'.
bool ReadStat(pid_t pid, ProcStat& out) {
    std::string text;
    if (!CFileUtil::ReadFullFile(ProcFile(pid, "stat"), text, 4096) || text.empty()) return false;
    size_t open = text.find('(');
    size_t close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open ||
        close + 4 > text.size())
        return false;
    out.comm = text.substr(open + 1, close - open - 1);
    out.state = text[close + 2];
    out.ppid = static_cast<pid_t>(strtol(text.c_str() + close + 4, nullptr, 10));
    return true;
}

bool IsGone(char state) { return state == 'Z' || state == 'X' || state == 'x'; }

std::string BaseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ExePath(pid_t pid) {
    char buf[PATH_MAX];
    ssize_t n = readlink(ProcFile(pid, "exe").c_str(), buf, sizeof buf);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return std::string();
    return std::string(buf, static_cast<size_t>(n));
}

// The first two command-line arguments (empty when missing).
void FirstArgs(pid_t pid, std::string& arg0, std::string& arg1) {
    std::string cmdline;
    CFileUtil::ReadFullFile(ProcFile(pid, "cmdline"), cmdline, 2 * PATH_MAX);
    arg0 = cmdline.c_str();
    arg1 = arg0.size() < cmdline.size() ? std::string(cmdline.c_str() + arg0.size() + 1) : std::string();
}

bool StartsWith(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// The kernel keeps at most 15 bytes of a program's name (the file name it
// executed: a link's own name, a script's name). A cut name is completed
// from the first file name that starts with it: argv[0]'s (the path the
// program was started by, so a link's), the executable's (the link's
// target), argv[1]'s (the script an interpreter runs).
const size_t kCommMax = 15;

std::string ProcessName(pid_t pid, const std::string& comm) {
    if (comm.size() < kCommMax) return comm;
    std::string arg0, arg1;
    FirstArgs(pid, arg0, arg1);
    arg0 = BaseName(arg0);
    if (StartsWith(arg0, comm)) return arg0;
    std::string exe = BaseName(ExePath(pid));
    const char kDeleted[] = " (deleted)";
    if (exe.size() > sizeof kDeleted - 1 &&
        exe.compare(exe.size() - (sizeof kDeleted - 1), std::string::npos, kDeleted) == 0)
        exe.resize(exe.size() - (sizeof kDeleted - 1));
    if (StartsWith(exe, comm)) return exe;
    arg1 = BaseName(arg1);
    if (StartsWith(arg1, comm)) return arg1;
    return comm;
}

// Calls `fn(pid)` for every process directory in /proc.
template <typename Fn>
void ForEachPid(Fn fn) {
    posix::DirStream dir(opendir("/proc"));  // closed however `fn` leaves
    if (!dir) return;
    while (struct dirent* entry = readdir(dir.get())) {
        const char* name = entry->d_name;
        if (*name < '1' || *name > '9') continue;
        char* end = nullptr;
        long pid = strtol(name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid > INT_MAX) continue;
        fn(static_cast<pid_t>(pid));
    }
}

// Live processes of that name, ascending.
std::vector<pid_t> PidsNamed(const std::string& name) {
    std::set<pid_t> pids;
    if (name.empty()) return {};
    ForEachPid([&](pid_t pid) {
        ProcStat st;
        if (!ReadStat(pid, st) || IsGone(st.state)) return;
        // Cheap test on the kernel's name first; the full name only when it
        // can still match.
        bool match = st.comm.size() < kCommMax
                         ? st.comm == name
                         : StartsWith(name, st.comm) && ProcessName(pid, st.comm) == name;
        if (match)
            pids.insert(pid);
    });
    return std::vector<pid_t>(pids.begin(), pids.end());
}

// True when `id` names a process. A thread's id names no process, though
// /proc answers for it and kill() takes it for the thread's whole process
// (SIGKILL to a thread of the agent would end the agent).
bool ValidPid(int64_t id) {
    if (id <= 0 || id > INT_MAX) return false;
    std::string status;
    if (!CFileUtil::ReadFullFile(ProcFile(static_cast<pid_t>(id), "status"), status, 8192)) return false;
    size_t at = status.find("\nTgid:");
    return at != std::string::npos && strtoll(status.c_str() + at + 6, nullptr, 10) == id;
}

int OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

// True once the child has ended; reaps it and stores its status.
bool ChildEnded(pid_t pid, int* status) {
    int raw = 0;
    pid_t r;
    do {
        r = waitpid(pid, &raw, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return false;
    if (r < 0) {
        *status = -1;  // already reaped elsewhere (SIGCHLD ignored)
    } else if (WIFEXITED(raw)) {
        *status = WEXITSTATUS(raw);
    } else {
        *status = WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
    }
    return true;
}

int SendSignal(int pidFd, int sig) {
#ifdef SYS_pidfd_send_signal
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidFd, sig, nullptr, 0));
#else
    (void)pidFd;
    (void)sig;
    errno = ENOSYS;
    return -1;
#endif
}

// The start time of a live process (field 22 of its stat), which tells it
// from a later process given the same pid; -1 once it has ended.
long long StartTime(pid_t pid) {
    std::string text;
    if (!CFileUtil::ReadFullFile(ProcFile(pid, "stat"), text, 4096)) return -1;
    size_t at = text.rfind(')');
    if (at == std::string::npos || at + 2 >= text.size() || IsGone(text[at + 2])) return -1;
    for (int field = 2; field < 22 && at != std::string::npos; ++field) at = text.find(' ', at + 1);
    return at == std::string::npos ? -1 : strtoll(text.c_str() + at + 1, nullptr, 10);
}

// How long KillAndConfirm waits for the processes to go.
const int kKillWaitMs = 3000;

// Ends the processes (SIGKILL) and waits, kKillWaitMs at most, until each
// has gone (a zombie counts as gone). True when every one has. A pid
// descriptor opened before the signal names the process itself, so a pid
// that passes to a new process meanwhile is neither signalled nor taken
// for the old one; without pid descriptors the start time tells them apart.
bool KillAndConfirm(const std::vector<pid_t>& pids) {
    struct Target {
        pid_t pid;
        int fd;
        long long start;
    };
    std::vector<Target> waiting;
    bool all = true;
    for (pid_t pid : pids) {
        Target t{pid, OpenPidFd(pid), -1};
        if (t.fd < 0 && errno == ESRCH) continue;  // gone already
        if (t.fd < 0) t.start = StartTime(pid);
        if (t.fd < 0 && t.start < 0) continue;
        if ((t.fd >= 0 ? SendSignal(t.fd, SIGKILL) : kill(pid, SIGKILL)) != 0) {
            if (errno != ESRCH) all = false;
            if (t.fd >= 0) close(t.fd);
            continue;
        }
        waiting.push_back(t);
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kKillWaitMs);
    std::vector<struct pollfd> fds;
    while (!waiting.empty()) {
        bool byStartTime = false;
        fds.clear();
        for (const Target& t : waiting) {
            if (t.fd >= 0) fds.push_back({t.fd, POLLIN, 0});
            byStartTime = byStartTime || t.fd < 0;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        int wait = static_cast<int>(left > 0 ? left : 0);
        if (byStartTime && wait > 10) wait = 10;
        if (fds.empty())
            usleep(static_cast<useconds_t>(wait) * 1000);
        else
            poll(fds.data(), fds.size(), wait);
        // A pid descriptor turns readable when its process has ended.
        size_t kept = 0;
        for (const Target& t : waiting) {
            struct pollfd now = {t.fd, POLLIN, 0};
            bool gone = t.fd >= 0 ? poll(&now, 1, 0) > 0 : StartTime(t.pid) != t.start;
            if (gone && t.fd >= 0) close(t.fd);
            if (!gone) waiting[kept++] = t;
        }
        waiting.resize(kept);
        if (!waiting.empty() && left <= 0) {
            all = false;
            for (const Target& t : waiting) {
                if (t.fd >= 0) close(t.fd);
            }
            break;
        }
    }
    return all;
}

enum class PipeState { kOpen, kEnded, kOverLimit };

// Appends what the pipe holds now; `out` never grows past `limit` bytes
// (kOverLimit instead, also when memory runs out).
PipeState Drain(int fd, std::string& out, size_t limit) {
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            size_t got = static_cast<size_t>(n);
            if (got > limit - out.size()) return PipeState::kOverLimit;
            try {
                out.append(buf, got);
            } catch (const std::bad_alloc&) {
                return PipeState::kOverLimit;
            }
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? PipeState::kOpen : PipeState::kEnded;
    }
}

// Runs the program under a supervisor with its standard output on a pipe
// and collects it. Returns the exit status (-1 when it could not be started
// or its output passed the read limit; the output is then empty).
int RunCollecting(const std::string& path, const std::vector<std::string>& argv,
                  int32_t timeoutMs, bool mergeStderr, std::string& output) {
    output.clear();
    if (path.empty()) return -1;
    // Every descriptor closes itself on every path, a failed allocation's
    // included.
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return -1;
    posix::Fd readEnd(ends[0]), writeEnd(ends[1]);
    posix::Fd devNull(open("/dev/null", O_RDWR | O_CLOEXEC));
    if (!devNull.ok()) return -1;
    posix::SpawnRequest request;
    request.path = path;
    request.argv = argv;
    request.stdinFd = devNull.get();
    request.stdoutFd = writeEnd.get();
    request.stderrFd = mergeStderr ? writeEnd.get() : devNull.get();
    int error = 0;
    int controlFd = -1;
    pid_t child = posix::Spawn(request, &error, &controlFd);
    posix::Fd control(controlFd);
    writeEnd.Close();
    devNull.Close();
    if (child <= 0) return -1;
    const int readFd = readEnd.get();
    fcntl(readFd, F_SETFL, fcntl(readFd, F_GETFL) | O_NONBLOCK);

    using Clock = std::chrono::steady_clock;
    // Inside a script run: no longer than the run may still take, and a stop
    // ends the command (checked every few tens of milliseconds).
    timeoutMs = CRunBudget::CutTimeoutMs(timeoutMs);
    const bool inRun = CRunBudget::InRun();
    const bool limited = timeoutMs > 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
    const size_t limit = CHostSettings::ReadLimit();
    posix::Fd pidDescriptor(OpenPidFd(child));
    const int pidFd = pidDescriptor.get();
    int status = -1;
    bool ended = false;
    bool pipeOpen = true;
    bool overLimit = false;
    while (!ended) {
        int wait = -1;
        if (limited) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                posix::EndSupervised(control.get());
                break;
            }
            wait = static_cast<int>(left.count()) + 1;
        }
        if (inRun && CRunBudget::Stopped()) {
            posix::EndSupervised(control.get());
            break;
        }
        // Without a pid descriptor the child's end is polled for.
        if (pidFd < 0 && (wait < 0 || wait > 20)) wait = 20;
        if (inRun && (wait < 0 || wait > 50)) wait = 50;
        struct pollfd fds[2];
        nfds_t count = 0;
        if (pipeOpen) fds[count++] = {readFd, POLLIN, 0};
        if (pidFd >= 0) fds[count++] = {pidFd, POLLIN, 0};
        int r = count > 0 ? poll(fds, count, wait) : (usleep(static_cast<useconds_t>(wait) * 1000), 0);
        if (r < 0 && errno != EINTR) {
            posix::EndSupervised(control.get());
            break;
        }
        if (pipeOpen && r > 0 && fds[0].revents != 0) {
            PipeState state = Drain(readFd, output, limit);
            if (state == PipeState::kOverLimit) {
                overLimit = true;
                posix::EndSupervised(control.get());
                break;
            }
            pipeOpen = state == PipeState::kOpen;
        }
        ended = ChildEnded(child, &status);
    }
    // After EndSupervised the supervisor exits once everything below it has
    // gone.
    if (!ended) status = posix::WaitChild(child);
    // What the program wrote before it ended is all in the pipe now; output
    // of processes it left behind is not waited for.
    if (pipeOpen && !overLimit) overLimit = Drain(readFd, output, limit) == PipeState::kOverLimit;
    if (overLimit) {
        std::string().swap(output);
        return -1;
    }
    return status;
}

class ProcessUtil final : public IProcessUtil {
public:
    void UnusedSlot0() override {}
    void UnusedSlot2() override {}
    void UnusedSlot3() override {}
    void UnusedSlot5() override {}
    void UnusedSlot9() override {}
    void UnusedSlot11() override {}

    ProcessList GetAllProcessList() override {
        ProcessList list;
        ForEachPid([&](pid_t pid) {
            ProcStat st;
            if (ReadStat(pid, st) && !IsGone(st.state)) list.emplace(pid, ProcessName(pid, st.comm));
        });
        return list;
    }

    bool CheckProcessAlive(const std::string& name) override { return !PidsNamed(name).empty(); }

    ProcessIdList GetProcessIdByName(const std::string& name) override {
        std::vector<pid_t> pids = PidsNamed(name);
        return ProcessIdList(pids.begin(), pids.end());
    }

    bool KillProcByName(const std::string& name) override {
        std::vector<pid_t> pids = PidsNamed(name);
        pids.erase(std::remove(pids.begin(), pids.end(), getpid()), pids.end());
        return !pids.empty() && KillAndConfirm(pids);
    }

    bool KillProcById(int64_t id) override {
        if (!ValidPid(id) || id == getpid()) return false;
        return KillAndConfirm({static_cast<pid_t>(id)});
    }

    std::string GetProcPath(int64_t id, int32_t fullPath) override {
        if (!ValidPid(id)) return std::string();
        std::string path = ExePath(static_cast<pid_t>(id));
        return fullPath ? path : BaseName(path);
    }

    std::string GetProcCommandLine(int64_t id) override {
        std::string raw;
        if (!ValidPid(id) || !CFileUtil::ReadFullFile(ProcFile(static_cast<pid_t>(id), "cmdline"), raw))
            return std::string();
        if (!raw.empty() && raw.back() == '\0') raw.pop_back();
        if (raw.empty()) return std::string();
        std::string line;
        size_t start = 0;
        while (start <= raw.size()) {
            size_t end = raw.find('\0', start);
            if (end == std::string::npos) end = raw.size();
            if (start > 0) line += ' ';
            AppendQuoted(line, raw.substr(start, end - start));
            start = end + 1;
        }
        return line;
    }

    std::string ExecCommandWithArgs(const std::string& command, const std::vector<std::string>& args,
                                    int32_t timeoutMs, int32_t, int32_t, int32_t flags) override {
        std::vector<std::string> argv;
        argv.reserve(args.size() + 1);
        argv.push_back(command);
        argv.insert(argv.end(), args.begin(), args.end());
        std::string output;
        RunCollecting(posix::ResolveProgram(command, false), argv, timeoutMs,
                      (flags & kExecMergeStderr) != 0, output);
        return output;
    }

    int32_t GetPPid(int64_t id) override {
        ProcStat st;
        if (!ValidPid(id) || !ReadStat(static_cast<pid_t>(id), st) || IsGone(st.state)) return -1;
        return st.ppid;
    }

    int32_t ExecCommandLine(const std::string& commandLine, std::string& output) override {
        return RunCollecting("/bin/sh", {"sh", "-c", commandLine}, 0, false, output);
    }

private:
    static void AppendQuoted(std::string& line, const std::string& arg) {
        if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
            line += arg;
            return;
        }
        line += '"';
        for (char c : arg) {
            if (c == '"' || c == '\\') line += '\\';
            line += c;
        }
        line += '"';
    }
};

}  // namespace

IProcessUtil* GetProcessUtil() {
    static NoDestructor<ProcessUtil> instance;
    return instance.get();
}

}  // namespace pyn

// The process object and the detached start, seen from the host's side:
// descriptors (handles), zombies, exit statuses, time-outs and the process
// id out. On Windows the child is the test build's orvex_test_child.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "LuaEngineInterface.h"
#include "TestSupport.h"
#include "pyn/FileUtil.h"
#include "pyn/ProcessUtil.h"
#include "pyn/ToolUtil.h"

using orvextest::ReadFile;
using orvextest::TempDir;
using orvextest::WriteFile;

#if !defined(_WIN32)
extern char** environ;
#endif

namespace {

bool WaitUntil(const std::function<bool()>& cond) {
    for (int i = 0; i < 400; ++i) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

#if !defined(_WIN32)
// True when this process has no child left, reaped or not.
bool NoChildren() {
    errno = 0;
    return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

// Live processes whose arguments are exactly `argv`, found through /proc.
std::vector<pid_t> LiveProcessesRunning(const std::vector<std::string>& argv) {
    std::string wanted;
    for (const std::string& arg : argv) wanted += arg + '\0';
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        // A zombie's command line reads empty.
        if (ReadFile(entry.path().string() + "/cmdline") == wanted) found.push_back(std::stoi(name));
    }
    return found;
}

// True when the process has gone or is a zombie.
bool GoneOrZombie(pid_t pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t end = stat.rfind(')');
    return stat.empty() || (end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'Z');
}

// A sleep length no other test run uses, to find the sleep by.
std::string UniqueSleep(int which) { return std::to_string(4711000 + which * 100000 + getpid() % 100000); }

TEST(ProcessUtil, ChildrenInheritNoDescriptorAndLeaveNoZombie) {
    // A descriptor the agent forgot to mark close-on-exec.
    int fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(dup2(fd, 200), 200);
    close(fd);
    const std::string probe = "test -e /proc/$$/fd/200 && echo leaked || echo clean";
    pyn::IProcessUtil* util = pyn::GetProcessUtil();
    EXPECT_EQ(util->ExecCommandWithArgs("sh", {"-c", probe}, 5000, -1, -1, 0), "clean\n");
    std::string out;
    EXPECT_EQ(util->ExecCommandLine(probe, out), 0);
    EXPECT_EQ(out, "clean\n");

    TempDir tmp;
    const std::string report = tmp.file("report");
    uint64_t pid = 0;
    ASSERT_TRUE(pyn::CToolUtil::StartProcess(
        "sh", "", {"-c", probe + " > " + orvextest::ShellQuote(report) + ".tmp; mv " +
                             orvextest::ShellQuote(report) + ".tmp " + orvextest::ShellQuote(report)},
        &pid));
    EXPECT_GT(pid, 0u);
    EXPECT_TRUE(WaitUntil([&] { return !ReadFile(report).empty(); }));
    EXPECT_EQ(ReadFile(report), "clean\n");
    close(200);

    // A time-out, a failed start and a detached start leave nothing to reap.
    util->ExecCommandWithArgs("sleep", {"5"}, 50, -1, -1, 0);
    util->ExecCommandWithArgs("/no/such/program", {}, 50, -1, -1, 0);
    EXPECT_TRUE(NoChildren());
}

TEST(ProcessUtil, ExitStatusesOutputAndStandardError) {
    pyn::IProcessUtil* util = pyn::GetProcessUtil();
    std::string out = "stale";
    EXPECT_EQ(util->ExecCommandLine("printf out; echo err >&2; exit 3", out), 3);
    EXPECT_EQ(out, "out");
    EXPECT_EQ(util->ExecCommandLine("kill -9 $$", out), 128 + SIGKILL);
    EXPECT_EQ(out, "");
    EXPECT_EQ(util->ExecCommandWithArgs("sh", {"-c", "printf out; printf err >&2"}, 5000, -1, -1,
                                        pyn::IProcessUtil::kExecMergeStderr),
              "outerr");
    EXPECT_EQ(util->ExecCommandWithArgs("sh", {"-c", "printf out; printf err >&2"}, 5000, -1, -1, 0), "out");
    // A command that closes its output but keeps running is still bounded by
    // its time-out.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(util->ExecCommandWithArgs("sh", {"-c", "printf early; exec >&-; sleep 30"}, 200, -1, -1, 0), "early");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    // A background process that keeps the output open is not waited for.
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(util->ExecCommandLine("sleep 30 & echo $!", out), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    ASSERT_FALSE(out.empty());
    EXPECT_TRUE(util->KillProcById(std::stoll(out)));
}

// Descendants that made a session of their own and lost their parent are
// ended by the time-out too; after a normal end, what the command left
// behind on purpose goes on.
TEST(ProcessUtil, ATimeOutEndsEveryDescendantWhateverSessionItMovedTo) {
    pyn::IProcessUtil* util = pyn::GetProcessUtil();
    const std::string escaped = UniqueSleep(1);
    EXPECT_EQ(util->ExecCommandWithArgs("sh", {"-c", "(setsid sleep " + escaped + " &); sleep 30"}, 1000, -1, -1, 0),
              "");
    EXPECT_EQ(LiveProcessesRunning({"sleep", escaped}), std::vector<pid_t>{}) << "gone when the call returns";
    std::string out = "stale";
    EXPECT_EQ(util->ExecCommandLine("(setsid sleep " + escaped + " &); echo started", out), 0);
    EXPECT_EQ(out, "started\n");
    std::vector<pid_t> left;
    EXPECT_TRUE(WaitUntil([&] { return (left = LiveProcessesRunning({"sleep", escaped})).size() == 1; }));
    ASSERT_EQ(left.size(), 1u) << "left behind after a normal end";
    EXPECT_TRUE(util->KillProcById(left[0]));
    EXPECT_TRUE(GoneOrZombie(left[0])) << "true only once it has gone";
    EXPECT_TRUE(NoChildren());
}

// Output past the read limit ends the command with everything it started
// at once; the call gives "" (ExecCommandLine: -1).
TEST(ProcessUtil, OutputPastTheReadLimitEndsTheCommandTree) {
    orvextest::ReadLimitScope limit(1 << 20);
    TempDir tmp;
    const std::string name = "oxyes" + tmp.path().substr(tmp.path().size() - 6);
    ASSERT_EQ(symlink("/usr/bin/yes", tmp.file(name).c_str()), 0);
    pyn::IProcessUtil* util = pyn::GetProcessUtil();
    EXPECT_EQ(util->ExecCommandWithArgs("head", {"-c", "1048576", "/dev/zero"}, 20000, -1, -1, 0),
              std::string(1 << 20, '\0'))
        << "up to the limit the output is whole";
    const std::string escaped = UniqueSleep(2);
    EXPECT_EQ(util->ExecCommandWithArgs("sh", {"-c", "(setsid sleep " + escaped + " &); exec \"$0\"", tmp.file(name)},
                                        2000, -1, -1, 0),
              "");
    EXPECT_FALSE(util->CheckProcessAlive(name));
    EXPECT_EQ(LiveProcessesRunning({"sleep", escaped}), std::vector<pid_t>{});
    // No time limit here: only the cap ends it.
    std::string out = "stale";
    EXPECT_EQ(util->ExecCommandLine("head -c 2000000 /dev/zero; (setsid sleep " + escaped + " &); exec sleep " +
                                        escaped,
                                    out),
              -1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(LiveProcessesRunning({"sleep", escaped}), std::vector<pid_t>{});
    EXPECT_TRUE(NoChildren());
}

// When the agent dies, the supervisor's control channel reaches end of
// file and the command's whole tree ends with it.
TEST(ProcessUtil, CommandsEndWithTheAgent) {
    TempDir tmp;
    const std::string escaped = UniqueSleep(3), waiting = UniqueSleep(4);
    const std::string started = tmp.file("started");
    orvextest::WriteScript(tmp.file("agent.lua"),
                           "function orvexScriptMain(started)\n"
                           "  return orvexUtil.ExecCommand('sh', 0, '-c', '(setsid sleep " + escaped +
                               " &); touch \"$1\"; sleep " + waiting + "', 'sh', started)\n"
                           "end\n");
    std::vector<std::string> args = {ORVEX_CLI_PATH, "run", tmp.file("agent.lua"), started};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t agent = -1;
    ASSERT_EQ(posix_spawn(&agent, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    auto running = [&](const std::string& length) { return LiveProcessesRunning({"sleep", length}).size() == 1; };
    EXPECT_TRUE(WaitUntil([&] { return running(escaped) && running(waiting); }));
    kill(agent, SIGKILL);
    ASSERT_EQ(waitpid(agent, nullptr, 0), agent);
    EXPECT_TRUE(WaitUntil([&] { return !running(escaped) && !running(waiting); }));
}

// KillProcById gives true once the process has gone: a zombie counts.
TEST(ProcessUtil, KillProcByIdConfirmsTheEnd) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        pause();
        _exit(0);
    }
    pyn::IProcessUtil* util = pyn::GetProcessUtil();
    EXPECT_TRUE(util->KillProcById(child));
    EXPECT_TRUE(GoneOrZombie(child)) << "our child, not yet reaped";
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_FALSE(util->KillProcById(child)) << "reaped: the id names no process";
}

TEST(ProcessUtil, StartProcessReportsTheDetachedProcess) {
    TempDir tmp;
    const std::string name = "oxpid" + tmp.path().substr(tmp.path().size() - 6);
    const std::string path = tmp.file(name);
    ASSERT_EQ(symlink("/bin/sleep", path.c_str()), 0);
    uint64_t pid = 0;
    ASSERT_TRUE(pyn::CToolUtil::StartProcess(path, tmp.path(), {"30"}, &pid));
    pyn::IProcessUtil* util = pyn::GetProcessUtil();
    EXPECT_TRUE(WaitUntil([&] { return util->CheckProcessAlive(name); }));
    EXPECT_EQ(util->GetProcessIdByName(name), pyn::ProcessIdList{static_cast<int64_t>(pid)});
    EXPECT_NE(util->GetPPid(static_cast<int64_t>(pid)), getpid());
    EXPECT_NE(getsid(static_cast<pid_t>(pid)), getsid(0)) << "a session of its own";
    EXPECT_FALSE(util->KillProcById(getpid()));
    EXPECT_FALSE(util->KillProcById(0));
    EXPECT_FALSE(util->KillProcById(int64_t{1} << 40));
    EXPECT_TRUE(util->KillProcById(static_cast<int64_t>(pid)));
    EXPECT_TRUE(GoneOrZombie(static_cast<pid_t>(pid)));
    EXPECT_FALSE(util->CheckProcessAlive(name));
    EXPECT_TRUE(NoChildren());
}

TEST(ProcessUtil, StartProcessFindsProgramsOfRelativeSearchEntriesAndRefusesZeroBytes) {
    TempDir tmp;
    std::filesystem::create_directories(tmp.file("bin"));
    std::filesystem::create_directories(tmp.file("wd"));
    const std::string name = "oxrel" + tmp.path().substr(tmp.path().size() - 6);
    WriteFile(tmp.file("bin/" + name), "#!/bin/sh\ntouch started\n");
    ASSERT_EQ(chmod(tmp.file("bin/" + name).c_str(), 0755), 0);
    // A search entry relative to our directory, while the program starts in
    // another one.
    const std::string relative =
        std::filesystem::relative(tmp.file("bin"), std::filesystem::current_path()).string();
    const std::string oldPath = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", (relative + ":" + oldPath).c_str(), 1);
    bool started = pyn::CToolUtil::StartProcess(name, tmp.file("wd"), {}, nullptr);
    setenv("PATH", oldPath.c_str(), 1);
    ASSERT_TRUE(started);
    EXPECT_TRUE(WaitUntil([&] { return std::filesystem::exists(tmp.file("wd/started")); }));

    // exec would read only up to the zero: another program or argument.
    const std::string touch = "/usr/bin/touch";
    EXPECT_FALSE(pyn::CToolUtil::StartProcess(touch + std::string("\0x", 2), tmp.path(), {"a"}, nullptr));
    EXPECT_FALSE(pyn::CToolUtil::StartProcess(touch, tmp.path(), {std::string("b\0c", 3)}, nullptr));
    EXPECT_FALSE(pyn::CToolUtil::StartProcess(touch, tmp.file("wd") + std::string("\0x", 2), {"d"}, nullptr));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(std::filesystem::exists(tmp.file("a")));
    EXPECT_FALSE(std::filesystem::exists(tmp.file("b")));
    EXPECT_FALSE(std::filesystem::exists(tmp.file("wd/d")));
}

// A thread's id is no process id, though kill() would take it for the
// whole process: SIGKILL to another thread of ours would end the tests.
TEST(ProcessUtil, ThreadIdsNameNoProcess) {
    std::atomic<pid_t> tid{0};
    std::atomic<bool> done{false};
    std::thread other([&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    ASSERT_TRUE(WaitUntil([&] { return tid != 0; }));
    pyn::IProcessUtil* util = pyn::GetProcessUtil();
    EXPECT_FALSE(util->KillProcById(tid));
    EXPECT_EQ(util->GetPPid(tid), -1);
    EXPECT_EQ(util->GetProcPath(tid, 1), "");
    EXPECT_EQ(util->GetProcCommandLine(tid), "");
    EXPECT_EQ(util->GetPPid(getpid()), getppid()) << "a process id still names its process";
    done = true;
    other.join();
}

TEST(FileUtil, NewFilesGetTheUmaskAndReplacedOnesKeepTheirMode) {
    TempDir tmp;
    mode_t old = umask(027);
    EXPECT_TRUE(pyn::CFileUtil::WriteNewFile(tmp.file("new"), pyn::CStringUtil::str2vec("x")));
    EXPECT_TRUE(pyn::CFileUtil::CopyFileW(tmp.file("new"), tmp.file("copy"), false));
    EXPECT_FALSE(pyn::CFileUtil::CopyFileW(tmp.file("new"), tmp.file("copy"), false)) << "no overwrite";
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(tmp.file("new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    ASSERT_EQ(stat(tmp.file("copy").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    ASSERT_EQ(chmod(tmp.file("new").c_str(), 0600), 0);
    EXPECT_TRUE(pyn::CFileUtil::WriteNewFile(tmp.file("new"), pyn::CStringUtil::str2vec("yy")));
    ASSERT_EQ(stat(tmp.file("new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(ReadFile(tmp.file("new")), "yy");
}

#else  // Windows

// A copy of the child program under `name` in `dir`.
std::string CopyOfChild(const TempDir& dir, const std::string& name) {
    const std::string path = dir.file(name);
    std::filesystem::copy_file(ORVEX_TEST_CHILD, path);
    return path;
}

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

TEST(ProcessUtil, ChildrenInheritOnlyTheirStandardHandles) {
    // A handle the agent made inheritable for some other purpose.
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE event = CreateEventW(&inherit, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    const std::string value = std::to_string(reinterpret_cast<uintptr_t>(event));
    pyn::IProcessUtil* util = pyn::GetProcessUtil();
    EXPECT_EQ(util->ExecCommandWithArgs(ORVEX_TEST_CHILD, {"handle", value}, 5000, -1, -1, 0), "clean");
    std::string out;
    EXPECT_EQ(util->ExecCommandLine(Quoted(ORVEX_TEST_CHILD) + " handle " + value, out), 0);
    EXPECT_EQ(out, "clean");
    CloseHandle(event);
}

TEST(ProcessUtil, ExitStatusesOutputAndStandardError) {
    pyn::IProcessUtil* util = pyn::GetProcessUtil();
    std::string out = "stale";
    EXPECT_EQ(util->ExecCommandLine("echo out& echo err 1>&2& exit /b 3", out), 3);
    EXPECT_EQ(out, "out\r\n");
    EXPECT_EQ(util->ExecCommandLine("bad-command-" + std::to_string(GetCurrentProcessId()) + " 2>NUL", out), 9009)
        << "cmd.exe's code for an unknown command";
    EXPECT_EQ(out, "");
    EXPECT_EQ(util->ExecCommandWithArgs(ORVEX_TEST_CHILD, {"print", "out", "err", "err"}, 5000, -1, -1,
                                        pyn::IProcessUtil::kExecMergeStderr),
              "outerr");
    EXPECT_EQ(util->ExecCommandWithArgs(ORVEX_TEST_CHILD, {"print", "out", "err", "err"}, 5000, -1, -1, 0), "out");
    // A command that closes its output but keeps running is still bounded by
    // its time-out.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(util->ExecCommandWithArgs(ORVEX_TEST_CHILD, {"print", "early", "closeout", "sleep", "30"}, 200, -1, -1,
                                        0),
              "early");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    // A process left running that keeps the output open is not waited for.
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(util->ExecCommandLine(Quoted(ORVEX_TEST_CHILD) + " spawn 1 30", out), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    ASSERT_FALSE(out.empty());
    EXPECT_TRUE(util->KillProcById(std::stoll(out)));
}

TEST(ProcessUtil, StartProcessReportsTheDetachedProcess) {
    TempDir tmp;
    const std::string name = "oxpid" + tmp.path().substr(tmp.path().size() - 6) + ".exe";
    const std::string path = CopyOfChild(tmp, name);
    uint64_t pid = 0;
    ASSERT_TRUE(pyn::CToolUtil::StartProcess(path, tmp.path(), {"sleep", "30"}, &pid));
    pyn::IProcessUtil* util = pyn::GetProcessUtil();
    EXPECT_TRUE(WaitUntil([&] { return util->CheckProcessAlive(name); }));
    EXPECT_EQ(util->GetProcessIdByName(name), pyn::ProcessIdList{static_cast<int64_t>(pid)});
    // Windows keeps the id of the process that started it.
    EXPECT_EQ(util->GetPPid(static_cast<int64_t>(pid)), static_cast<int32_t>(GetCurrentProcessId()));
    EXPECT_FALSE(util->KillProcById(GetCurrentProcessId()));
    EXPECT_FALSE(util->KillProcById(0));
    EXPECT_FALSE(util->KillProcById(int64_t{1} << 40));
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    ASSERT_NE(process, nullptr);
    EXPECT_TRUE(util->KillProcById(static_cast<int64_t>(pid)));
    EXPECT_EQ(WaitForSingleObject(process, 0), WAIT_OBJECT_0) << "true only once it has gone";
    CloseHandle(process);
    EXPECT_TRUE(WaitUntil([&] { return !util->CheckProcessAlive(name); }));
}

// Output past the read limit ends the command's job at once; the call
// gives "" (ExecCommandLine: -1).
TEST(ProcessUtil, OutputPastTheReadLimitEndsTheJob) {
    orvextest::ReadLimitScope limit(1 << 20);
    TempDir tmp;
    const std::string name = "oxflood" + tmp.path().substr(tmp.path().size() - 6) + ".exe";
    const std::string path = CopyOfChild(tmp, name);
    pyn::IProcessUtil* util = pyn::GetProcessUtil();
    EXPECT_EQ(util->ExecCommandWithArgs(path, {"zeros", "1048576"}, 20000, -1, -1, 0), std::string(1 << 20, '\0'))
        << "up to the limit the output is whole";
    // The command starts a copy of itself that sleeps, then writes without end.
    EXPECT_EQ(util->ExecCommandWithArgs(path, {"spawn", "1", "60", "flood"}, 20000, -1, -1, 0), "");
    EXPECT_FALSE(util->CheckProcessAlive(name));
    std::string out = "stale";
    EXPECT_EQ(util->ExecCommandLine(Quoted(path) + " spawn 1 60 flood", out), -1) << "no time limit here";
    EXPECT_EQ(out, "");
    EXPECT_FALSE(util->CheckProcessAlive(name));
    // Nothing the command starts may leave its job.
    EXPECT_EQ(util->ExecCommandWithArgs(path, {"breakaway", "60"}, 20000, -1, -1, 0), "refused");
    EXPECT_FALSE(util->CheckProcessAlive(name));
}

// The job ends with the agent: closing its last handle (the agent's, when
// it dies) ends every process the command started.
TEST(ProcessUtil, CommandsEndWithTheAgent) {
    TempDir tmp;
    const std::string name = "oxagent" + tmp.path().substr(tmp.path().size() - 6) + ".exe";
    const std::string path = CopyOfChild(tmp, name);
    orvextest::WriteScript(tmp.file("agent.lua"),
                           "function orvexScriptMain(child)\n"
                           "  return orvexUtil.ExecCommand(child, 0, 'spawn', '1', '60', 'sleep', '60')\n"
                           "end\n");
    std::wstring line = L"\"" + std::filesystem::u8path(ORVEX_CLI_PATH).wstring() + L"\" run \"" +
                        std::filesystem::u8path(tmp.file("agent.lua")).wstring() + L"\" \"" +
                        std::filesystem::u8path(path).wstring() + L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION agent;
    ASSERT_TRUE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                               &agent));
    CloseHandle(agent.hThread);
    pyn::IProcessUtil* util = pyn::GetProcessUtil();
    EXPECT_TRUE(WaitUntil([&] { return util->GetProcessIdByName(name).size() == 2; }));
    TerminateProcess(agent.hProcess, 1);
    WaitForSingleObject(agent.hProcess, 10000);
    CloseHandle(agent.hProcess);
    EXPECT_TRUE(WaitUntil([&] { return !util->CheckProcessAlive(name); }));
    util->KillProcByName(name);  // nothing outlives a failure
}

TEST(FileUtil, ReplacedFilesKeepTheirAttributesAndReadOnlyOnesAreRemoved) {
    TempDir tmp;
    const std::wstring wide = std::filesystem::u8path(tmp.file("new")).wstring();
    EXPECT_TRUE(pyn::CFileUtil::WriteNewFile(tmp.file("new"), pyn::CStringUtil::str2vec("x")));
    ASSERT_TRUE(SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_HIDDEN));
    EXPECT_TRUE(pyn::CFileUtil::WriteNewFile(tmp.file("new"), pyn::CStringUtil::str2vec("yy")));
    EXPECT_TRUE(GetFileAttributesW(wide.c_str()) & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(ReadFile(tmp.file("new")), "yy");
    EXPECT_TRUE(pyn::CFileUtil::CopyFileW(tmp.file("new"), tmp.file("copy"), false));
    EXPECT_FALSE(pyn::CFileUtil::CopyFileW(tmp.file("new"), tmp.file("copy"), false)) << "no overwrite";
    EXPECT_EQ(ReadFile(tmp.file("copy")), "yy");
    // Read-only is no protection against removal, as on POSIX.
    ASSERT_TRUE(SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(pyn::CFileUtil::RemoveFile(tmp.file("new")));
    EXPECT_FALSE(pyn::CFileUtil::IsFile(tmp.file("new")));
    EXPECT_EQ(pyn::CFileUtil::GetFileSize(tmp.file("copy")), 2u);
}
#endif

TEST(ToolUtil, FreeSpaceOfTheApplicationDiskAndNegativeSleeps) {
    TempDir tmp;
    orvextest::AppDirScope appDir(tmp.path());
    uint64_t ours = 0;
    ASSERT_TRUE(pyn::CToolUtil::GetSelfDiskFreeSpace(ours));
#if defined(_WIN32)
    const double theirs = static_cast<double>(std::filesystem::space(tmp.path()).available);
#else
    std::string df;
    ASSERT_EQ(orvextest::RunCommand("stat -f -c '%a %S' " + orvextest::ShellQuote(tmp.path()), &df), 0);
    unsigned long long blocks = 0, size = 0;
    ASSERT_EQ(sscanf(df.c_str(), "%llu %llu", &blocks, &size), 2);
    const double theirs = static_cast<double>(blocks) * static_cast<double>(size);
#endif
    // Other programs write to the same disk meanwhile.
    EXPECT_NEAR(static_cast<double>(ours), theirs, 256.0 * 1024 * 1024);

    // A negative count is no sleep at all (not a huge unsigned one).
    auto start = std::chrono::steady_clock::now();
    pyn::CToolUtil::msleep(-1);
    pyn::CToolUtil::msleep(INT64_MIN);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

// The Lua expressions of the commands: printf, or the test child's print.
#if defined(_WIN32)
#define EXEC_LINE "'\"" ORVEX_TEST_CHILD "\" print na\\\\357ve'"
#define PRINT_COMMAND "'" ORVEX_TEST_CHILD "', 1000, 'print', "
#else
#define EXEC_LINE "\"printf 'na\\\\357ve'\""
#define PRINT_COMMAND "'printf', 1000, "
#endif

// Texts cross the script boundary in the local code page: paths, listings
// and Exec's output are converted, file contents and ExecCommand's output
// are not.
TEST(ScriptCodePage, FileAndCommandTextsAreConverted) {
    orvextest::CodePageScope latin1("ISO-8859-1");
    TempDir tmp;
    const std::string script = tmp.file("cp.lua");
    orvextest::WriteScript(script,
                           "function orvexScriptMain(dir)\n"
                           "  local U = orvexUtil\n"
                           "  local p = dir .. '/caf\\195\\169'\n"
                           "  assert(U.WriteNewFile(p, 'd\\195\\169j\\224'))\n"
                           "  assert(U.IsFile(p))\n"
                           "  local checks = {\n"
                           "    {U.GetAllFileFromDir(dir)[1], p},\n"
                           "    {U.GetFileNameFromPath(p), 'caf\\195\\169'},\n"
                           "    {U.ReadFullFile(p), 'd\\195\\169j\\224'},\n"
                           "    {U.Exec(" EXEC_LINE "), 'na\\195\\175ve'},\n"
                           "    {U.ExecCommand(" PRINT_COMMAND "'na\\\\357ve'), 'na\\239ve'},\n"
                           "    {U.ExecCommand(" PRINT_COMMAND "'\\195\\188'), '\\252'},\n"
                           "  }\n"
                           "  for i, c in ipairs(checks) do\n"
                           "    if c[1] ~= c[2] then return 'check ' .. i .. ': ' .. string.format('%q', c[1]) end\n"
                           "  end\n"
                           "  return 'ok'\n"
                           "end\n");
    std::string result;
    ASSERT_TRUE(CLuaEngineInterface::ExecLua(script, "", result, {tmp.path()}, false)) << result;
    EXPECT_EQ(result, "ok");
    // The file's name on disk is the Latin-1 byte E9; the contents are as given.
    EXPECT_EQ(ReadFile(tmp.path() + "/caf\xE9"), "d\xC3\xA9j\xE0");
}

// Terminate ends the process at once, whatever else the script would do.
TEST(ScriptTerminate, EndsTheProcess) {
    TempDir tmp;
    const std::string script = tmp.file("t.lua");
    const std::string after = tmp.file("after");
    orvextest::WriteScript(script,
                           "function orvexScriptMain(after)\n"
                           "  orvexUtil.Terminate('ignored', 1)\n"
                           "  local f = io.open(after, 'w'); f:write('x'); f:close()\n"
                           "  return 'not reached'\n"
                           "end\n");
    std::string out;
    int status = orvextest::RunCommand(std::string(ORVEX_CLI_PATH) + " run " + orvextest::ShellQuote(script) +
                                           " " + orvextest::ShellQuote(after),
                                       &out);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(ReadFile(after), "");
}

}  // namespace

// pyn::IProcessUtil on Windows: Toolhelp32 snapshots, CreateProcess with a
// pipe for commands, a job object for the time-out.
// Where Windows differs from Linux:
// - names are the executable's file name as the system lists it, with its
//   extension ("notepad.exe"), compared without regard to case, as Windows
//   compares file names;
// - processes are ended with TerminateProcess (exit code 1);
// - the command line is what the process was started with, as the system
//   keeps it (NtQueryInformationProcess, or the process's own parameter
//   block); "" where neither can be read (a 64-bit process seen from this
//   32-bit library on a system without the newer query);
// - GetProcPath's file-name form (flag 0) is the last part of the path;
// - ExecCommandWithArgs runs no shell: a bare command is looked up in PATH
//   (".exe", then ".com" when it has no extension), the arguments are
//   quoted by the C runtime's rules; a batch file, which cmd.exe reads by
//   rules of its own, is refused when an argument holds a character cmd.exe
//   would act on. The command and everything it starts run in a job, which
//   the time-out (or output past the read limit) ends as a whole, and which
//   ends with the agent (kill on close) while the command runs; standard
//   input and error are the null device. Its programs get no console window.
// - KillProcById and KillProcByName wait on the process handles (a few
//   seconds at most) and give true only once the processes have gone.
// - ExecCommandLine runs "cmd.exe /d /s /c <line>" from the system
//   directory (no AutoRun commands); its result is cmd's exit code.
#include <windows.h>
#include "pyn/NoDestructor.h"
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <new>
#include <set>

#include "Spawn.h"
#include "WinFs.h"
#include "WinText.h"
#include "pyn/HostSettings.h"
#include "pyn/RunBudget.h"
#include "pyn/ProcessUtil.h"

namespace pyn {
namespace {

struct ProcEntry {
    DWORD pid;
    DWORD ppid;
    std::wstring name;
};

// Every process the system lists (the idle process, id 0, left out).
std::vector<ProcEntry> Snapshot() {
    std::vector<ProcEntry> out;
    win32::Handle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snap.ok()) return out;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snap.get(), &entry); more; more = Process32NextW(snap.get(), &entry)) {
        if (entry.th32ProcessID != 0) out.push_back({entry.th32ProcessID, entry.th32ParentProcessID, entry.szExeFile});
    }
    return out;
}

bool SameName(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

std::vector<DWORD> PidsNamed(const std::string& name) {
    std::vector<DWORD> pids;
    if (name.empty()) return pids;
    const std::wstring wide = win32::LocalToWide(name);
    for (const ProcEntry& e : Snapshot()) {
        if (SameName(e.name, wide)) pids.push_back(e.pid);
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

bool ValidPid(int64_t id) { return id > 0 && id <= 0xFFFFFFFFLL; }

// How long EndAndConfirm waits for the processes to go.
const DWORD kKillWaitMs = 3000;

// The process opened to be ended and waited for; null when it cannot be
// (`*missing` tells whether there is no such process).
HANDLE OpenToEnd(DWORD pid, bool* missing) {
    HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    *missing = !h && GetLastError() == ERROR_INVALID_PARAMETER;
    return h;
}

// Ends the opened processes and waits, kKillWaitMs at most, until each has
// gone. True when every one has. The handles, held until the caller's list
// goes, keep the ids from passing to other processes meanwhile.
bool EndAndConfirm(const std::vector<win32::Handle>& processes) {
    bool all = true;
    for (const win32::Handle& h : processes) {
        if (!TerminateProcess(h.get(), 1) && WaitForSingleObject(h.get(), 0) != WAIT_OBJECT_0) all = false;
    }
    const ULONGLONG deadline = GetTickCount64() + kKillWaitMs;
    for (const win32::Handle& h : processes) {
        ULONGLONG now = GetTickCount64();
        if (WaitForSingleObject(h.get(), now < deadline ? static_cast<DWORD>(deadline - now) : 0) != WAIT_OBJECT_0)
            all = false;
    }
    return all;
}

// Ends the processes (those that have gone already count as ended); true
// when every one has gone.
bool EndProcesses(const std::vector<DWORD>& pids) {
    std::vector<win32::Handle> handles;
    handles.reserve(pids.size());
    bool all = true;
    for (DWORD pid : pids) {
        bool missing = false;
        win32::Handle h(OpenToEnd(pid, &missing));
        if (h.ok())
            handles.push_back(std::move(h));
        else if (!missing)
            all = false;
    }
    return EndAndConfirm(handles) && all;
}

// A running process opened for queries, or null.
HANDLE OpenRunning(int64_t id, DWORD access) {
    if (!ValidPid(id)) return nullptr;
    HANDLE h = OpenProcess(access | SYNCHRONIZE, FALSE, static_cast<DWORD>(id));
    if (h && WaitForSingleObject(h, 0) == WAIT_OBJECT_0) {
        CloseHandle(h);
        return nullptr;
    }
    return h;
}

// Ends `root` and every process below it, found through the parent links
// (for a command that could not be put in a job).
void KillTreeByParents(DWORD root) {
    std::multimap<DWORD, DWORD> children;
    for (const ProcEntry& e : Snapshot()) children.emplace(e.ppid, e.pid);
    std::set<DWORD> found{root};
    std::vector<DWORD> todo{root};
    while (!todo.empty()) {
        DWORD parent = todo.back();
        todo.pop_back();
        auto range = children.equal_range(parent);
        for (auto it = range.first; it != range.second; ++it) {
            if (found.insert(it->second).second) todo.push_back(it->second);
        }
    }
    EndProcesses(std::vector<DWORD>(found.begin(), found.end()));
}

// Waits, `ms` at most, until no process is left in the job (where the
// system can tell).
void WaitForEmptyJob(HANDLE job, DWORD ms) {
    const ULONGLONG deadline = GetTickCount64() + ms;
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting;
    while (QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting,
                                     nullptr) &&
           accounting.ActiveProcesses > 0 && GetTickCount64() < deadline)
        Sleep(10);
}

// The read end of a new pipe (overlapped, so a read can wait together with
// the process) and the inheritable write end for the child.
bool MakeOutputPipe(HANDLE& readEnd, HANDLE& writeEnd) {
    static std::atomic<unsigned> counter{0};
    const std::wstring name = L"\\\\.\\pipe\\orvex-exec-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(++counter) + L"-" + std::to_wstring(GetTickCount64());
    const DWORD mode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT;
    readEnd = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                               mode | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, 1 << 16, 0, nullptr);
    if (readEnd == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER)
        readEnd = CreateNamedPipeW(name.c_str(),
                                   PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE, mode, 1,
                                   0, 1 << 16, 0, nullptr);
    if (readEnd == INVALID_HANDLE_VALUE) return false;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    writeEnd = CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, nullptr);
    if (writeEnd == INVALID_HANDLE_VALUE) {
        CloseHandle(readEnd);
        return false;
    }
    return true;
}

// Reads the command's output, which never grows past `limit` bytes: past
// it (or when memory runs out) the reader stops and overLimit() is true.
class PipeReader {
public:
    PipeReader(HANDLE pipe, size_t limit) : m_pipe(pipe), m_limit(limit) {
        m_ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~PipeReader() {
        if (m_pending) {
            CancelIoEx(m_pipe, &m_ov);
            DWORD n = 0;
            GetOverlappedResult(m_pipe, &m_ov, &n, TRUE);
        }
        if (m_ov.hEvent) CloseHandle(m_ov.hEvent);
    }
    bool ok() const { return m_ov.hEvent != nullptr; }
    bool open() const { return m_open; }
    bool overLimit() const { return m_overLimit; }
    HANDLE event() const { return m_ov.hEvent; }

    // Starts reads until one has to wait (then true) or the pipe ends.
    bool Arm(std::string& out) {
        while (m_open && !m_pending) {
            DWORD n = 0;
            ResetEvent(m_ov.hEvent);
            if (ReadFile(m_pipe, m_buffer, sizeof m_buffer, &n, &m_ov)) {
                Append(out, n);
            } else if (GetLastError() == ERROR_IO_PENDING) {
                m_pending = true;
            } else {
                m_open = false;  // the last writer has gone
            }
        }
        return m_pending;
    }

    // Takes the result of the read that completed.
    void Complete(std::string& out) {
        DWORD n = 0;
        m_pending = false;
        if (GetOverlappedResult(m_pipe, &m_ov, &n, FALSE))
            Append(out, n);
        else
            m_open = false;
    }

    // Takes what the pipe holds now, without waiting for more.
    void Drain(std::string& out) {
        if (m_pending) {
            CancelIoEx(m_pipe, &m_ov);
            DWORD n = 0;
            if (GetOverlappedResult(m_pipe, &m_ov, &n, TRUE)) Append(out, n);
            m_pending = false;
        }
        DWORD available = 0;
        while (m_open && PeekNamedPipe(m_pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            DWORD n = 0;
            ResetEvent(m_ov.hEvent);
            DWORD want = available < sizeof m_buffer ? available : sizeof m_buffer;
            if (!ReadFile(m_pipe, m_buffer, want, &n, &m_ov) &&
                (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(m_pipe, &m_ov, &n, TRUE)))
                break;
            Append(out, n);
        }
    }

private:
    void Append(std::string& out, DWORD n) {
        if (n > m_limit - out.size()) {
            m_overLimit = true;
        } else {
            try {
                out.append(m_buffer, n);
                return;
            } catch (const std::bad_alloc&) {
                m_overLimit = true;
            }
        }
        m_open = false;
    }

    HANDLE m_pipe;
    size_t m_limit;
    OVERLAPPED m_ov = {};
    bool m_pending = false;
    bool m_open = true;
    bool m_overLimit = false;
    char m_buffer[16384];
};

// Runs the program with its standard output on a pipe and collects it.
// Returns its exit code (-1 when it could not be started).
int RunCollecting(const std::wstring& application, const std::wstring& commandLine, int32_t timeoutMs,
                  bool mergeStderr, std::string& output) {
    output.clear();
    if (application.empty()) return -1;
    // Every handle closes itself on every path, a failed allocation's
    // included.
    HANDLE readPipe, writePipe;
    if (!MakeOutputPipe(readPipe, writePipe)) return -1;
    win32::Handle readEnd(readPipe), writeEnd(writePipe);
    win32::Handle null(win32::OpenNullDevice());
    if (!null.ok()) return -1;
    win32::SpawnRequest request;
    request.application = application;
    request.commandLine = commandLine;
    request.stdIn = null.get();
    request.stdOut = writeEnd.get();
    request.stdErr = mergeStderr ? writeEnd.get() : null.get();
    // Suspended until it is in the job, so that nothing it starts escapes.
    request.flags = CREATE_SUSPENDED | CREATE_NO_WINDOW;
    PROCESS_INFORMATION info;
    bool started = win32::Spawn(request, info);
    writeEnd.Close();
    null.Close();
    if (!started) return -1;
    win32::Handle process(info.hProcess);
    // The job holds every process the command starts (none may break away).
    // Closing its last handle ends them all, so they end with us if we die;
    // a command that ends by itself has the limit lifted first, and what it
    // left running goes on.
    win32::Handle jobHandle(CreateJobObjectW(nullptr, nullptr));
    const HANDLE job = jobHandle.get();
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    const bool killOnClose =
        job && SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    const bool inJob = job && AssignProcessToJobObject(job, info.hProcess);
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);

    bool killed = false;
    auto killTree = [&] {
        killed = true;
        if (inJob)
            TerminateJobObject(job, 1);
        else
            KillTreeByParents(info.dwProcessId);
        WaitForSingleObject(info.hProcess, 10000);
        if (inJob) WaitForEmptyJob(job, 10000);
    };
    bool overLimit = false;
    {
        PipeReader reader(readEnd.get(), CHostSettings::ReadLimit());
        if (!reader.ok()) killTree();
        // Inside a script run: no longer than the run may still take, and a
        // stop ends the command (checked every few tens of milliseconds).
        timeoutMs = CRunBudget::CutTimeoutMs(timeoutMs);
        const bool inRun = CRunBudget::InRun();
        const bool limited = timeoutMs > 0;
        const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(limited ? timeoutMs : 0);
        bool ended = !reader.ok();
        while (!ended && !reader.overLimit()) {
            DWORD wait = INFINITE;
            if (limited) {
                ULONGLONG now = GetTickCount64();
                if (now >= deadline) {
                    killTree();
                    break;
                }
                wait = static_cast<DWORD>(deadline - now);
            }
            if (inRun && CRunBudget::Stopped()) {
                killTree();
                break;
            }
            if (inRun && wait > 50) wait = 50;
            HANDLE handles[2] = {info.hProcess, reader.event()};
            DWORD count = reader.Arm(output) ? 2 : 1;
            if (reader.overLimit()) break;
            DWORD r = WaitForMultipleObjects(count, handles, FALSE, wait);
            if (r == WAIT_OBJECT_0) {
                ended = true;
            } else if (r == WAIT_OBJECT_0 + 1) {
                reader.Complete(output);
            } else if (r != WAIT_TIMEOUT) {
                killTree();
                break;
            }
        }
        // Past the read limit everything ends at once. Otherwise what the
        // command wrote before it ended is in the pipe now; output of
        // processes it left running is not waited for.
        if (reader.overLimit())
            killTree();
        else if (reader.ok())
            reader.Drain(output);
        overLimit = reader.overLimit();
    }
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(info.hProcess, 0) != WAIT_OBJECT_0 || !GetExitCodeProcess(info.hProcess, &code))
        code = static_cast<DWORD>(-1);
    process.Close();
    readEnd.Close();
    if (job && killOnClose && !killed) {
        limits.BasicLimitInformation.LimitFlags = 0;
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
    jobHandle.Close();
    if (overLimit) {
        std::string().swap(output);
        return -1;
    }
    return static_cast<int>(code);
}

std::wstring SystemDirectory() {
    wchar_t buf[MAX_PATH];
    UINT n = GetSystemDirectoryW(buf, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::wstring(buf, n) : std::wstring(L"C:\\Windows\\System32");
}

using QueryInformationFn = LONG(WINAPI*)(HANDLE, int, PVOID, ULONG, PULONG);

QueryInformationFn QueryInformation() {
    static const QueryInformationFn query = reinterpret_cast<QueryInformationFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    return query;
}

// The command line through ProcessCommandLineInformation (Windows 8.1 on).
bool CommandLineFromSystem(HANDLE process, std::wstring& line) {
    QueryInformationFn query = QueryInformation();
    if (!query) return false;
    const int kProcessCommandLineInformation = 60;
    struct CountedText {
        USHORT length;
        USHORT maximum;
        PWSTR buffer;
    };
    std::vector<char> buf(4096);
    for (int attempt = 0; attempt < 4; ++attempt) {
        ULONG needed = 0;
        LONG status = query(process, kProcessCommandLineInformation, buf.data(), static_cast<ULONG>(buf.size()),
                            &needed);
        if (status >= 0) {
            const auto* text = reinterpret_cast<const CountedText*>(buf.data());
            line = text->buffer ? std::wstring(text->buffer, text->length / sizeof(wchar_t)) : std::wstring();
            return true;
        }
        if (needed <= buf.size()) return false;
        buf.resize(needed);
    }
    return false;
}

bool ReadRemote(HANDLE process, ULONG address, void* out, SIZE_T size) {
    SIZE_T got = 0;
    return ReadProcessMemory(process, reinterpret_cast<LPCVOID>(static_cast<ULONG_PTR>(address)), out, size, &got) &&
           got == size;
}

// The command line from the process's own 32-bit environment block (where
// the system does not give it): PEB -> process parameters -> CommandLine.
// A 64-bit process seen from this 32-bit one is out of reach.
bool CommandLineFromPeb(HANDLE process, std::wstring& line) {
    QueryInformationFn query = QueryInformation();
    if (!query) return false;
    BOOL selfWow = FALSE, targetWow = FALSE;
    IsWow64Process(GetCurrentProcess(), &selfWow);
    IsWow64Process(process, &targetWow);
    if (selfWow != targetWow) return false;
    ULONG peb = 0;
    struct BasicInformation {
        LONG exitStatus;
        ULONG peb;
        ULONG_PTR affinity;
        LONG basePriority;
        ULONG_PTR pid;
        ULONG_PTR parent;
    } basic = {};
    const int kProcessBasicInformation = 0;
    if (query(process, kProcessBasicInformation, &basic, sizeof basic, nullptr) < 0) return false;
    peb = basic.peb;
    const ULONG kParametersOffset = 0x10;   // PEB32.ProcessParameters
    const ULONG kCommandLineOffset = 0x40;  // RTL_USER_PROCESS_PARAMETERS32.CommandLine
    ULONG parameters = 0;
    struct CountedText32 {
        USHORT length;
        USHORT maximum;
        ULONG buffer;
    } text = {};
    if (!peb || !ReadRemote(process, peb + kParametersOffset, &parameters, sizeof parameters) || !parameters ||
        !ReadRemote(process, parameters + kCommandLineOffset, &text, sizeof text))
        return false;
    line.assign(text.length / sizeof(wchar_t), L'\0');
    return text.length == 0 || ReadRemote(process, text.buffer, &line[0], line.size() * sizeof(wchar_t));
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
        for (const ProcEntry& e : Snapshot()) list.emplace(e.pid, win32::WideToLocal(e.name));
        return list;
    }

    bool CheckProcessAlive(const std::string& name) override { return !PidsNamed(name).empty(); }

    ProcessIdList GetProcessIdByName(const std::string& name) override {
        std::vector<DWORD> pids = PidsNamed(name);
        return ProcessIdList(pids.begin(), pids.end());
    }

    bool KillProcByName(const std::string& name) override {
        std::vector<DWORD> pids = PidsNamed(name);
        pids.erase(std::remove(pids.begin(), pids.end(), GetCurrentProcessId()), pids.end());
        return !pids.empty() && EndProcesses(pids);
    }

    bool KillProcById(int64_t id) override {
        if (!ValidPid(id) || id == GetCurrentProcessId()) return false;
        bool missing = false;
        std::vector<win32::Handle> handles;
        handles.emplace_back(OpenToEnd(static_cast<DWORD>(id), &missing));
        return handles[0].ok() && EndAndConfirm(handles);
    }

    std::string GetProcPath(int64_t id, int32_t fullPath) override {
        win32::Handle h(OpenRunning(id, PROCESS_QUERY_LIMITED_INFORMATION));
        if (!h.ok()) return std::string();
        std::wstring path(MAX_PATH, L'\0');
        DWORD size = static_cast<DWORD>(path.size());
        while (!QueryFullProcessImageNameW(h.get(), 0, &path[0], &size)) {
            if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || path.size() >= 32768) {
                size = 0;
                break;
            }
            path.resize(path.size() * 2);
            size = static_cast<DWORD>(path.size());
        }
        h.Close();
        path.resize(size);
        if (!fullPath) {
            size_t slash = path.find_last_of(L"\\/");
            if (slash != std::wstring::npos) path.erase(0, slash + 1);
        }
        return win32::WideToLocal(path);
    }

    std::string GetProcCommandLine(int64_t id) override {
        win32::Handle h(OpenRunning(id, PROCESS_QUERY_INFORMATION | PROCESS_VM_READ));
        if (!h.ok()) h = win32::Handle(OpenRunning(id, PROCESS_QUERY_LIMITED_INFORMATION));
        if (!h.ok()) return std::string();
        std::wstring line;
        if (!CommandLineFromSystem(h.get(), line) && !CommandLineFromPeb(h.get(), line)) line.clear();
        h.Close();
        return win32::WideToLocal(line);
    }

    std::string ExecCommandWithArgs(const std::string& command, const std::vector<std::string>& args,
                                    int32_t timeoutMs, int32_t, int32_t, int32_t flags) override {
        std::string output;
        std::wstring application = win32::ResolveProgram(win32::LocalToWide(command), false);
        if (application.empty()) return output;
        std::vector<std::wstring> argv;
        argv.reserve(args.size() + 1);
        argv.push_back(win32::LocalToWide(command));
        for (const std::string& arg : args) argv.push_back(win32::LocalToWide(arg));
        std::wstring line;
        if (!win32::BuildCommandLine(application, argv, line)) return output;
        RunCollecting(application, line, timeoutMs, (flags & kExecMergeStderr) != 0, output);
        return output;
    }

    int32_t GetPPid(int64_t id) override {
        if (!ValidPid(id)) return -1;
        for (const ProcEntry& e : Snapshot()) {
            if (e.pid == static_cast<DWORD>(id)) return static_cast<int32_t>(e.ppid);
        }
        return -1;
    }

    int32_t ExecCommandLine(const std::string& commandLine, std::string& output) override {
        const std::wstring cmd = SystemDirectory() + L"\\cmd.exe";
        // /s: cmd takes everything between the first and the last quote as
        // the command, unchanged.
        return RunCollecting(cmd, L"cmd.exe /d /s /c \"" + win32::LocalToWide(commandLine) + L"\"", 0, false,
                             output);
    }
};

}  // namespace

IProcessUtil* GetProcessUtil() {
    static NoDestructor<ProcessUtil> instance;
    return instance.get();
}

}  // namespace pyn

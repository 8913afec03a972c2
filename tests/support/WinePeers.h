// Linux peers for the Windows tests under Wine. Wine starts a Linux program
// given by its absolute path, but hands back no process handle: the caller
// learns the end and the result from files the program writes.
#pragma once

#if defined(_WIN32)
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TestSupport.h"

namespace orvextest {

// The Linux path of a Windows path under Wine, or "" elsewhere.
inline std::string WineUnixPath(const std::string& path) {
    using Fn = char*(CDECL*)(LPCWSTR);
    auto fn = reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!fn) return std::string();
    std::wstring wide(path.begin(), path.end());  // the tests' paths are ASCII
    char* unixPath = fn(wide.c_str());
    if (!unixPath) return std::string();
    std::string result = unixPath;
    HeapFree(GetProcessHeap(), 0, unixPath);
    return result;
}

// Starts the Linux program `argv[0]` (an absolute Linux path) under Wine.
// There is no handle to wait on: callers watch the files it writes.
inline bool StartLinuxProgram(const std::vector<std::string>& argv) {
    std::wstring program, commandLine;
    for (char c : argv[0]) program += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    program = L"Z:" + program;
    for (const std::string& a : argv) {
        if (!commandLine.empty()) commandLine += L' ';
        commandLine += L'"' + std::wstring(a.begin(), a.end()) + L'"';
    }
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    if (pi.hProcess) CloseHandle(pi.hProcess);
    if (pi.hThread) CloseHandle(pi.hThread);
    return true;
}

// Waits up to `ms` for `path` to hold `text`.
inline bool WaitForFileText(const std::string& path, const std::string& text, int ms) {
    for (int waited = 0; waited < ms; waited += 25) {
        if (ReadFile(path).find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

// Runs `script` with /bin/sh (paths in it are Linux paths, see WineUnixPath;
// the script and its status file are kept in `workDir`) and waits up to 60 s
// for it to end; true when it ended with status 0.
inline bool RunLinuxShell(const std::string& script, const std::string& workDir) {
    static int count = 0;
    std::string name = workDir + "/linux-sh-" + std::to_string(++count);
    std::string done = WineUnixPath(name + ".status");
    WriteFile(name + ".sh", "(\n" + script + "\n) >/dev/null 2>&1\necho \"status $?\" > '" + done +
                                ".tmp' && mv '" + done + ".tmp' '" + done + "'\n");
    if (!StartLinuxProgram({"/bin/sh", WineUnixPath(name + ".sh")}) ||
        !WaitForFileText(name + ".status", "\n", 60000))
        return false;
    return ReadFile(name + ".status") == "status 0\n";
}

// Removes, from Linux, the pipes, sockets and devices a test made below
// `dir` when it goes: Windows' own file calls would wait on them while the
// test's directory is removed.
class LinuxSpecialFilesCleanup {
public:
    explicit LinuxSpecialFilesCleanup(std::string dir) : m_dir(std::move(dir)) {}
    ~LinuxSpecialFilesCleanup() {
        RunLinuxShell("find '" + WineUnixPath(m_dir) + "' ! -type f ! -type d ! -type l -delete", m_dir);
    }
    LinuxSpecialFilesCleanup(const LinuxSpecialFilesCleanup&) = delete;
    LinuxSpecialFilesCleanup& operator=(const LinuxSpecialFilesCleanup&) = delete;

private:
    std::string m_dir;
};

// The owner, group and DACL of the file `path` (ASCII) as text; "" when
// they cannot be read. Wine shows a file's Linux owner and mode this way.
inline std::string FileSecurityText(const std::string& path) {
    const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                      DACL_SECURITY_INFORMATION;
    PSECURITY_DESCRIPTOR sd = nullptr;
    std::wstring wide(path.begin(), path.end());
    if (GetNamedSecurityInfoW(wide.c_str(), SE_FILE_OBJECT, what, nullptr, nullptr, nullptr, nullptr, &sd) !=
        ERROR_SUCCESS)
        return std::string();
    LPWSTR text = nullptr;
    std::string result;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, what, &text, nullptr)) {
        for (const wchar_t* p = text; *p; ++p) result += static_cast<char>(*p);
        LocalFree(text);
    }
    LocalFree(sd);
    return result;
}

}  // namespace orvextest
#endif

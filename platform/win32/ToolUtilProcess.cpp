// CToolUtil's process and disk operations on Windows.
// Where Windows differs from POSIX: a started program runs detached from
// this process's console, in a process group of its own, and out of this
// process's job when the job allows it (so it outlives an agent whose job
// ends its processes); its standard handles are the null device. Terminate
// ends the process through TerminateProcess: no DLL detach notifications,
// no exit handlers, as _exit on POSIX.
#include <windows.h>

#include "Spawn.h"
#include "WinFs.h"
#include "WinText.h"
#include "pyn/ToolUtil.h"

namespace pyn {

bool CToolUtil::StartProcess(const std::string& program, const std::string& workDir,
                             const std::vector<std::string>& args, uint64_t* processId) {
    win32::SpawnRequest request;
    request.application = win32::ResolveProgram(win32::LocalToWide(program), !workDir.empty());
    if (request.application.empty()) return false;
    std::vector<std::wstring> argv;
    argv.reserve(args.size() + 1);
    argv.push_back(win32::LocalToWide(program));
    for (const std::string& arg : args) argv.push_back(win32::LocalToWide(arg));
    if (!win32::BuildCommandLine(request.application, argv, request.commandLine)) return false;
    request.workDir = win32::LocalToWide(workDir);

    win32::Handle null(win32::OpenNullDevice());  // closed on every path
    if (!null.ok()) return false;
    request.stdIn = request.stdOut = request.stdErr = null.get();
    request.flags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | CREATE_BREAKAWAY_FROM_JOB;
    PROCESS_INFORMATION info;
    bool ok = win32::Spawn(request, info);
    if (!ok && GetLastError() == ERROR_ACCESS_DENIED) {
        // A job that allows no breakaway: the program stays in it.
        request.flags &= ~static_cast<DWORD>(CREATE_BREAKAWAY_FROM_JOB);
        ok = win32::Spawn(request, info);
    }
    null.Close();
    if (!ok) return false;
    if (processId) *processId = info.dwProcessId;
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return true;
}

void CToolUtil::Terminate() {
    TerminateProcess(GetCurrentProcess(), 0);
    for (;;) Sleep(INFINITE);  // TerminateProcess on itself does not return
}

bool CToolUtil::GetSelfDiskFreeSpace(uint64_t& freeBytes) {
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(win32::LocalToWide(GetApplicationDirPath()).c_str(), &available, nullptr, nullptr))
        return false;
    freeBytes = available.QuadPart;
    return true;
}

}  // namespace pyn

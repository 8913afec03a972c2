// Starting child processes without a shell on Windows (internal to
// platform/win32).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace pyn {
namespace win32 {

// The program file CreateProcess should run for `program`: a path (one
// holding "\", "/" or a drive) as given, made absolute when `absolute` is
// set; a bare name is looked up in the directories of PATH only (never in
// the application's or the current directory first, as CreateProcess's own
// search does). A name without an extension is tried as ".exe", then
// ".com". "" when no such file exists.
std::wstring ResolveProgram(const std::wstring& program, bool absolute);

// The command line that hands `args` to a program (argv[0] first) exactly
// as given, by the quoting rules of the C runtime and CommandLineToArgvW.
// A batch file is run by cmd.exe, which reads its command line by rules of
// its own: for a batch file (".bat", ".cmd") the result is false when an
// argument holds a character cmd.exe would act on.
bool BuildCommandLine(const std::wstring& application, const std::vector<std::wstring>& argv,
                      std::wstring& commandLine);

struct SpawnRequest {
    std::wstring application;  // from ResolveProgram
    std::wstring commandLine;  // from BuildCommandLine
    std::wstring workDir;      // "" keeps the current directory
    HANDLE stdIn = nullptr;    // inheritable handles for the standard slots
    HANDLE stdOut = nullptr;
    HANDLE stdErr = nullptr;
    DWORD flags = 0;           // creation flags
};

// Starts the program. Only the three standard handles are inherited (where
// the system supports the handle list). On success `info` holds the
// process and thread handles, which the caller closes.
bool Spawn(const SpawnRequest& request, PROCESS_INFORMATION& info);

// An inheritable handle on the null device, or INVALID_HANDLE_VALUE.
HANDLE OpenNullDevice();

}  // namespace win32
}  // namespace pyn

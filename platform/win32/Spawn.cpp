#include "Spawn.h"

#include <cwctype>
#include <vector>

namespace pyn {
namespace win32 {
namespace {

bool HasSeparatorOrDrive(const std::wstring& s) {
    return s.find_first_of(L"\\/") != std::wstring::npos || (s.size() >= 2 && s[1] == L':');
}

bool IsRegularFile(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The extension of the path's last part, lower case, with its dot ("" if none).
std::wstring Extension(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/:");
    size_t dot = path.rfind(L'.');
    if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash)) return std::wstring();
    std::wstring ext = path.substr(dot);
    for (wchar_t& c : ext) c = static_cast<wchar_t>(std::towlower(c));
    return ext;
}

// The file itself, or, without an extension, the file with ".exe" or ".com".
std::wstring WithExtension(const std::wstring& path) {
    if (IsRegularFile(path)) return path;
    if (!Extension(path).empty()) return std::wstring();
    for (const wchar_t* ext : {L".exe", L".com"}) {
        if (IsRegularFile(path + ext)) return path + ext;
    }
    return std::wstring();
}

std::wstring FullPath(const std::wstring& path) {
    DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0) return std::wstring();
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(path.c_str(), n, &full[0], nullptr);
    if (n == 0 || n >= full.size()) return std::wstring();
    full.resize(n);
    return full;
}

// One argument by the C runtime's rules: quoted when empty or holding
// blanks or quotes; backslashes are doubled only before a quote.
void AppendArgument(std::wstring& line, const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

}  // namespace

std::wstring ResolveProgram(const std::wstring& program, bool absolute) {
    if (program.empty()) return std::wstring();
    if (HasSeparatorOrDrive(program)) {
        std::wstring found = WithExtension(program);
        return absolute && !found.empty() ? FullPath(found) : found;
    }
    DWORD n = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    std::wstring path(n, L'\0');
    n = n ? GetEnvironmentVariableW(L"PATH", &path[0], n) : 0;
    path.resize(n < path.size() ? n : 0);
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find(L';', start);
        if (end == std::wstring::npos) end = path.size();
        std::wstring dir = path.substr(start, end - start);
        start = end + 1;
        if (dir.size() >= 2 && dir.front() == L'"' && dir.back() == L'"') dir = dir.substr(1, dir.size() - 2);
        if (dir.empty()) continue;
        if (dir.back() != L'\\' && dir.back() != L'/') dir += L'\\';
        std::wstring found = WithExtension(dir + program);
        if (!found.empty()) return absolute ? FullPath(found) : found;
    }
    return std::wstring();
}

bool BuildCommandLine(const std::wstring& application, const std::vector<std::wstring>& argv,
                      std::wstring& commandLine) {
    commandLine.clear();
    // The system reads a text only up to a zero: a different program or
    // argument than the one asked for.
    if (application.find(L'\0') != std::wstring::npos) return false;
    for (const std::wstring& arg : argv)
        if (arg.find(L'\0') != std::wstring::npos) return false;
    const std::wstring ext = Extension(application);
    if (ext == L".bat" || ext == L".cmd") {
        for (size_t i = 1; i < argv.size(); ++i) {
            if (argv[i].find_first_of(L"\"%!^&|<>()\r\n") != std::wstring::npos) return false;
        }
    }
    // argv[0] is read up to the next quote, without escapes: a program name
    // holds no quote.
    if (argv.empty() || argv[0].find(L'"') != std::wstring::npos) return false;
    commandLine = L"\"" + argv[0] + L"\"";
    for (size_t i = 1; i < argv.size(); ++i) {
        commandLine += L' ';
        AppendArgument(commandLine, argv[i]);
    }
    return true;
}

bool Spawn(const SpawnRequest& request, PROCESS_INFORMATION& info) {
    HANDLE handles[3];
    DWORD count = 0;
    for (HANDLE h : {request.stdIn, request.stdOut, request.stdErr}) {
        bool seen = false;
        for (DWORD i = 0; i < count; ++i) seen = seen || handles[i] == h;
        if (h && !seen) handles[count++] = h;
    }
    STARTUPINFOEXW si = {};
    si.StartupInfo.cb = sizeof si;
    if (count > 0) {
        si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        si.StartupInfo.hStdInput = request.stdIn;
        si.StartupInfo.hStdOutput = request.stdOut;
        si.StartupInfo.hStdError = request.stdErr;
    }
    // Only the handles listed are inherited, not whatever other inheritable
    // handles the process (or another thread starting a command) has open.
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> buffer(size > 0 ? size : 1);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer.data());
    bool listed = count > 0 && size > 0 && InitializeProcThreadAttributeList(attributes, 1, 0, &size);
    bool initialised = listed;
    if (listed) {
        listed = UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                           count * sizeof(HANDLE), nullptr, nullptr) != 0;
    }
    if (listed) si.lpAttributeList = attributes;
    std::wstring line = request.commandLine;  // CreateProcessW may write to it
    BOOL ok = CreateProcessW(request.application.c_str(), &line[0], nullptr, nullptr, count > 0,
                             request.flags | (listed ? EXTENDED_STARTUPINFO_PRESENT : 0), nullptr,
                             request.workDir.empty() ? nullptr : request.workDir.c_str(), &si.StartupInfo, &info);
    DWORD error = GetLastError();
    if (initialised) DeleteProcThreadAttributeList(attributes);
    SetLastError(error);
    return ok != 0;
}

HANDLE OpenNullDevice() {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       OPEN_EXISTING, 0, nullptr);
}

}  // namespace win32
}  // namespace pyn

// File operations on Windows: wide-character calls on paths converted from
// the local code page.
#include <windows.h>

#include <atomic>
#include <string>

#include "WinText.h"
#include "common/TextAndFileHelpers.h"
#include "pyn/FileUtil.h"

namespace pyn {

bool CFileUtil::IsFile(const std::string& path) {
    if (path.empty()) return false;
    DWORD attributes = GetFileAttributesW(win32::LocalToWide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool CFileUtil::ReadFullFile(const std::string& path, std::string& out, size_t maxBytes) {
    out.clear();
    if (path.empty()) return false;
    // Others may go on reading, writing, renaming or deleting meanwhile, as on
    // POSIX. Opening a directory this way fails.
    HANDLE file = CreateFileW(win32::LocalToWide(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size;
    size_t hint = 0;
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0 &&
        static_cast<unsigned long long>(size.QuadPart) < static_cast<size_t>(-1) / 2)
        hint = static_cast<size_t>(size.QuadPart);
    bool ok;
    try {
        ok = detail::ReadAllInto(out, hint, maxBytes, [file](char* buffer, size_t room) -> long long {
            DWORD got = 0;
            DWORD chunk = room > (1u << 30) ? (1u << 30) : static_cast<DWORD>(room);
            return ReadFile(file, buffer, chunk, &got, nullptr) ? static_cast<long long>(got) : -1;
        });
    } catch (...) {
        CloseHandle(file);
        out.clear();
        throw;
    }
    CloseHandle(file);
    return ok;
}

bool CFileUtil::ReplaceFileAtomically(const std::string& path, const std::string& bytes) {
    if (path.empty()) return false;
    std::wstring target = win32::LocalToWide(path);
    size_t slash = target.find_last_of(L"/\\");
    size_t nameStart = slash == std::wstring::npos ? 0 : slash + 1;
    if (nameStart == target.size()) return false;
    if (nameStart == 0 && target.size() >= 2 && target[1] == L':') return false;  // "C:" alone

    // A temporary beside the target, so the final move stays on one volume.
    static std::atomic<unsigned> counter{0};
    std::wstring tmp = target.substr(0, nameStart) + L"." + target.substr(nameStart) + L".tmp" +
                       std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
    HANDLE file = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;

    bool ok = true;
    size_t done = 0;
    while (ok && done < bytes.size()) {
        size_t left = bytes.size() - done;
        DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
        DWORD wrote = 0;
        if (!WriteFile(file, bytes.data() + done, chunk, &wrote, nullptr) || wrote == 0)
            ok = false;
        else
            done += wrote;
    }
    if (ok && !FlushFileBuffers(file)) ok = false;
    if (!CloseHandle(file)) ok = false;
    // A replaced file keeps its attributes (hidden, system, ...). A read-only
    // one cannot be replaced: the move fails and leaves it as it was.
    DWORD old = GetFileAttributesW(target.c_str());
    if (ok && old != INVALID_FILE_ATTRIBUTES && !(old & FILE_ATTRIBUTE_DIRECTORY))
        SetFileAttributesW(tmp.c_str(), old & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    if (ok && !MoveFileExW(tmp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        ok = false;
    if (!ok) {
        SetFileAttributesW(tmp.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace pyn

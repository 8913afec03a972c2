// A file written whole under a temporary name beside its target and then
// moved over it (one volume: the move is a rename). Private to
// platform/win32.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

namespace pyn {
namespace win32 {

// "<dir>\.<name>.<tag><pid>-<n>" beside `target`, or "" when `target` names
// no file ("dir\", "C:").
inline std::wstring TempPathBeside(const std::wstring& target, const wchar_t* tag) {
    static std::atomic<unsigned> counter{0};
    size_t slash = target.find_last_of(L"/\\");
    size_t nameStart = slash == std::wstring::npos ? 0 : slash + 1;
    if (nameStart == target.size()) return std::wstring();
    if (nameStart == 0 && target.size() >= 2 && target[1] == L':') return std::wstring();
    return target.substr(0, nameStart) + L"." + target.substr(nameStart) + L"." + tag +
           std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
}

// Moves the finished temporary `tmp` over `target` when `keep`, else (or
// when the move fails) deletes it. A replaced file keeps its attributes
// (hidden, system, ...); a read-only one is not replaced. True when moved.
inline bool FinishTempFile(const std::wstring& tmp, const std::wstring& target, bool keep) {
    DWORD old = GetFileAttributesW(target.c_str());
    if (keep && old != INVALID_FILE_ATTRIBUTES && !(old & FILE_ATTRIBUTE_DIRECTORY))
        SetFileAttributesW(tmp.c_str(), old & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    if (keep && MoveFileExW(tmp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    SetFileAttributesW(tmp.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(tmp.c_str());
    return false;
}

}  // namespace win32
}  // namespace pyn

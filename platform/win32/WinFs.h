// File-system helpers shared by the Windows implementations of CFileUtil and
// CDirUtil (internal to platform/win32). Paths are UTF-16.
#pragma once

#include <windows.h>

#include <string>

namespace pyn {
namespace win32 {

// A name for a new temporary file beside `target` (".<name>.tmp<pid>-<n>"),
// so that a final move stays on one volume; "" when `target` names no file
// ("dir\", "C:").
std::wstring TempPathBeside(const std::wstring& target);

// Facts about what `path` names, after following links; false when it
// cannot be opened.
bool QueryPath(const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info);

// Deletes a file or a file link; a read-only file is deleted too (as POSIX
// unlinks whatever its mode), and keeps its attribute when that fails.
bool DeleteFileForce(const std::wstring& path);

// Removes `path` with everything below it. Links and junctions are removed
// themselves, never followed. True when nothing of it is left (also when it
// never existed).
bool RemoveTree(const std::wstring& path);

inline bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

}  // namespace win32
}  // namespace pyn

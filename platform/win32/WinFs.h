// File-system helpers shared by the Windows implementations of the pyn
// layer (internal to platform/win32), and its rules in one place: how a
// file is opened (files on disk only), how a whole file is replaced (through
// a temporary beside it born with the old file's security descriptor), and
// what a tree walk never follows (links and junctions: reparse points).
// Paths are UTF-16.
#pragma once

#include <windows.h>

#include <string>
#include <type_traits>

namespace pyn {
namespace win32 {

// A kernel handle that closes itself (null and INVALID_HANDLE_VALUE hold
// nothing): what is opened stays closed on every path, a failed
// allocation's included.
class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE h) : m_h(h) {}
    ~Handle() { Close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(Handle&& other) noexcept : m_h(other.m_h) { other.m_h = nullptr; }
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            Close();
            m_h = other.m_h;
            other.m_h = nullptr;
        }
        return *this;
    }
    HANDLE get() const { return m_h; }
    bool ok() const { return m_h && m_h != INVALID_HANDLE_VALUE; }
    HANDLE release() {
        HANDLE h = m_h;
        m_h = nullptr;
        return h;
    }
    // Closes now; false when closing reports a failure.
    bool Close() {
        bool closed = true;
        if (ok()) closed = CloseHandle(m_h) != 0;
        m_h = nullptr;
        return closed;
    }

private:
    HANDLE m_h = nullptr;
};

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A name for a new temporary file beside `target` (".<name>.<tag><pid>-<n>"),
// so that a final move stays on one volume; "" when `target` names no file
// ("dir\", "C:").
std::wstring TempPathBeside(const std::wstring& target, const wchar_t* tag);

// Opens a file on disk for `access`, shared for reading, writing and
// deleting, or gives INVALID_HANDLE_VALUE: a device, pipe or console (CON,
// NUL, \\.\pipe\..., a Linux pipe or device under Wine) is not kept, as its
// reads could wait or never end, nor is a directory. With
// FILE_FLAG_OPEN_REPARSE_POINT in `flags` a link or junction is opened
// itself and not kept either.
HANDLE OpenDiskFile(const std::wstring& path, DWORD access, DWORD disposition, DWORD flags = 0);

// Whether `path` (links followed) names a file on disk that OpenDiskFile
// opens for reading: false for a directory, device or pipe (a Linux pipe,
// socket or device under Wine). For loaders that open the file again
// themselves with calls that would wait on it (LoadLibrary, SQLite).
bool ReadsWithoutWaiting(const std::wstring& path);

// How a file is replaced.
struct ReplaceOptions {
    // Tag in the temporary's name.
    const wchar_t* tag = L"tmp";
    // False: an existing file is left alone and the call fails.
    bool overwrite = true;
    // Attributes of the result (read-only, hidden, system, archive);
    // INVALID_FILE_ATTRIBUTES: those of the file it replaces (a read-only
    // file is then not replaced).
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    // True: a link or junction at the path fails the call. False: the move
    // replaces the link itself, never what it names.
    bool refuseLink = false;
};

using FillFn = bool (*)(HANDLE file, void* context);

// Writes the file `target` whole: `fill` writes the contents into a new
// temporary file beside it, which is flushed and moved over it. The
// temporary is born with the security descriptor of the file it replaces
// (owner, group, DACL), so it is never readable by more than that file;
// when the owner or group cannot be given (the agent may not name another
// owner) the call fails and the file stays as it was. A path that names
// anything but a file on disk (a directory, device, pipe) is refused
// untouched. On every failure the temporary is removed and the old file is
// as it was.
bool ReplaceFileWith(const std::wstring& target, const ReplaceOptions& options, FillFn fill, void* context);

template <class Fill>
bool ReplaceFile(const std::wstring& target, const ReplaceOptions& options, Fill&& fill) {
    using F = typename std::remove_reference<Fill>::type;
    return ReplaceFileWith(
        target, options, [](HANDLE file, void* c) -> bool { return (*static_cast<F*>(c))(file); }, &fill);
}

// Copies what is left of the open file `in` to `target` as ReplaceFile
// writes it, and closes `in`: the result gets the attributes and the time
// of the last write of `in`. With `refuseLink`, a link or junction at
// `target` fails the call.
bool CopyFileFrom(HANDLE in, const std::wstring& target, bool overwrite, bool refuseLink = false);

// Writes all of `size` bytes at the file pointer, or at `offset` when it is
// not negative.
bool WriteAll(HANDLE file, const char* data, size_t size, long long offset = -1);

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

// Directory operations on Windows, on wide-character paths. Links and
// junctions (reparse points) below the named path are removed as links and
// never followed into, in a tree being removed and on both sides of a copy:
// each entry is judged by its own attributes from its directory's listing,
// files are opened without following a link, and every directory the walk
// works in is held open, unshared for deleting, so that it cannot be
// renamed or swapped for a link meanwhile. Where Windows differs from POSIX:
// - a listing joins names with the separator the path already uses ("\"
//   unless its last separator is "/"), so "C:\dir" lists "C:\dir\name" and
//   "C:/dir" lists "C:/dir/name";
// - read-only files inside a removed tree are removed too (POSIX unlinks
//   whatever a file's mode);
// - a copied tree copies file links as links where the system lets this
//   process make one; a directory link or junction inside it is not copied
//   (making one needs a privilege the agent may lack) and the copy reports
//   false, as POSIX does for devices and pipes;
// - "inside the source" compares paths without regard to case, as the file
//   system does.
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

#include "WinFs.h"
#include "WinText.h"
#include "common/TextAndFileHelpers.h"
#include "pyn/DirUtil.h"
#include "pyn/FileUtil.h"

namespace pyn {
namespace {

struct Entry {
    std::wstring name;
    DWORD attributes;
};

// The directory's own entries, without "." and ".."; false when it cannot
// be listed.
bool ListDir(const std::wstring& dir, std::vector<Entry>& out) {
    out.clear();
    std::wstring pattern = dir;
    if (!pattern.empty() && !win32::IsSeparator(pattern.back())) pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    // Closed however the listing ends, a failed allocation's included.
    std::unique_ptr<void, BOOL(WINAPI*)(HANDLE)> search(find, &FindClose);
    do {
        if (wcscmp(data.cFileName, L".") == 0 || wcscmp(data.cFileName, L"..") == 0) continue;
        out.push_back({data.cFileName, data.dwFileAttributes});
    } while (FindNextFileW(find, &data));
    return GetLastError() == ERROR_NO_MORE_FILES;
}

// The separator to put between `dir` and a name ("" when it ends with one).
std::wstring SeparatorAfter(const std::wstring& dir) {
    if (dir.empty() || win32::IsSeparator(dir.back())) return std::wstring();
    size_t last = dir.find_last_of(L"\\/");
    return last != std::wstring::npos && dir[last] == L'/' ? L"/" : L"\\";
}

bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

// The path with links resolved as far as it exists, the rest appended.
std::wstring ResolvedPath(const std::wstring& path) {
    DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0) return std::wstring();
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(path.c_str(), n, &full[0], nullptr);
    full.resize(n);
    std::wstring rest;
    std::wstring existing = full;
    for (;;) {
        win32::Handle h(CreateFileW(existing.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (h.ok()) {
            std::wstring final(MAX_PATH, L'\0');
            DWORD got = GetFinalPathNameByHandleW(h.get(), &final[0], static_cast<DWORD>(final.size()), 0);
            if (got >= final.size()) {
                final.resize(got + 1);
                got = GetFinalPathNameByHandleW(h.get(), &final[0], static_cast<DWORD>(final.size()), 0);
            }
            h.Close();
            if (got == 0 || got >= final.size()) return full;
            final.resize(got);
            return final + rest;
        }
        size_t slash = existing.find_last_of(L"\\/");
        if (slash == std::wstring::npos || slash + 1 >= existing.size()) return full;
        rest = existing.substr(slash) + rest;
        existing.resize(slash);
        if (existing.size() == 2 && existing[1] == L':') existing += L'\\';
    }
}

bool EqualNoCase(const wchar_t* a, int aLen, const wchar_t* b, int bLen) {
    return CompareStringOrdinal(a, aLen, b, bLen, TRUE) == CSTR_EQUAL;
}

// True when `inner` is `outer` or lies below it (after resolving links).
bool IsSameOrBelow(const std::wstring& outer, const std::wstring& inner) {
    std::wstring a = ResolvedPath(outer);
    std::wstring b = ResolvedPath(inner);
    if (a.empty() || b.empty()) return true;  // cannot tell: refuse
    while (!a.empty() && win32::IsSeparator(a.back())) a.pop_back();
    while (!b.empty() && win32::IsSeparator(b.back())) b.pop_back();
    if (b.size() < a.size()) return false;
    if (!EqualNoCase(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(a.size()))) return false;
    return b.size() == a.size() || win32::IsSeparator(b[a.size()]);
}

bool MakeDirs(const std::wstring& path) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path), ec);
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// An open directory that cannot be renamed, removed or swapped for a link
// while it is held (it is not shared for deleting): the walk's paths below
// it keep naming what was checked. Opened without following a link; a link
// or junction (on Windows the handle shows it; Wine shows it only in the
// listing, which the walk looks at first) or anything but a directory gives
// no handle.
class PinnedDir {
public:
    explicit PinnedDir(const std::wstring& path) {
        m_handle = CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        BY_HANDLE_FILE_INFORMATION info;
        if (m_handle != INVALID_HANDLE_VALUE &&
            (!GetFileInformationByHandle(m_handle, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
             IsLink(info.dwFileAttributes)))
            Release();
    }
    ~PinnedDir() { Release(); }
    PinnedDir(const PinnedDir&) = delete;
    PinnedDir& operator=(const PinnedDir&) = delete;
    bool ok() const { return m_handle != INVALID_HANDLE_VALUE; }
    void Release() {
        if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE m_handle = INVALID_HANDLE_VALUE;
};

// Copies the entries of `source` into `target`, both pinned by the caller.
// Nothing is followed on either side: a link or junction in the target
// where a file or directory must go stays as it is and the entry is not
// copied; one in the source is copied as a file link, or not at all.
bool CopyTree(const std::wstring& source, const std::wstring& target, bool overwrite) {
    std::vector<Entry> entries;
    if (!ListDir(source, entries)) return false;
    bool ok = true;
    const std::wstring from = source + SeparatorAfter(source);
    const std::wstring to = target + SeparatorAfter(target);
    for (const Entry& e : entries) {
        const std::wstring in = from + e.name, out = to + e.name;
        DWORD there = GetFileAttributesW(out.c_str());
        bool taken = there != INVALID_FILE_ATTRIBUTES;
        if (IsLink(e.attributes)) {
            if (e.attributes & FILE_ATTRIBUTE_DIRECTORY) {
                ok = false;
                continue;
            }
            if (overwrite && taken && IsLink(there) && !(there & FILE_ATTRIBUTE_DIRECTORY))
                win32::DeleteFileForce(out);
            if (!CopyFileExW(in.c_str(), out.c_str(), nullptr, nullptr, nullptr,
                             COPY_FILE_COPY_SYMLINK | COPY_FILE_FAIL_IF_EXISTS))
                ok = false;
        } else if (e.attributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (taken && (IsLink(there) || !(there & FILE_ATTRIBUTE_DIRECTORY))) {
                ok = false;
                continue;
            }
            if (!taken && !CreateDirectoryW(out.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
                ok = false;
                continue;
            }
            PinnedDir pinnedIn(in), pinnedOut(out);
            ok = pinnedIn.ok() && pinnedOut.ok() && CopyTree(in, out, overwrite) && ok;
        } else if (taken && (IsLink(there) || (there & FILE_ATTRIBUTE_DIRECTORY))) {
            ok = false;
        } else {
            HANDLE file = win32::OpenDiskFile(in, GENERIC_READ, OPEN_EXISTING,
                                              FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT);
            ok = file != INVALID_HANDLE_VALUE && win32::CopyFileFrom(file, out, overwrite, true) && ok;
        }
    }
    return ok;
}

// Removes what `path` names, seen by the caller with `attributes` (its own,
// not those of what a link names).
bool RemoveEntry(const std::wstring& path, DWORD attributes) {
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return win32::DeleteFileForce(path);
    if (!IsLink(attributes)) {
        PinnedDir pinned(path);
        std::vector<Entry> entries;
        if (!pinned.ok() || !ListDir(path, entries)) return false;
        const std::wstring prefix = path + SeparatorAfter(path);
        bool ok = true;
        for (const Entry& e : entries) ok = RemoveEntry(prefix + e.name, e.attributes) && ok;
        if (!ok) return false;
    }
    // A directory link or junction goes as itself, its target untouched; so
    // does one put in the directory's place once it was emptied.
    if (RemoveDirectoryW(path.c_str())) return true;
    if (GetLastError() != ERROR_ACCESS_DENIED || !(attributes & FILE_ATTRIBUTE_READONLY)) return false;
    SetFileAttributesW(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    return RemoveDirectoryW(path.c_str()) != 0;
}

}  // namespace

namespace win32 {

bool RemoveTree(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    return RemoveEntry(path, attributes);
}

}  // namespace win32

bool CDirUtil::IsDir(const std::string& path) {
    if (!detail::IsPathText(path)) return false;
    DWORD attributes = GetFileAttributesW(win32::LocalToWide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool CDirUtil::MakeDirPath(const std::string& path) {
    return detail::IsPathText(path) && MakeDirs(win32::LocalToWide(path));
}

bool CDirUtil::RemoveDir(const std::string& path) {
    return detail::IsPathText(path) && win32::RemoveTree(win32::LocalToWide(path));
}

bool CDirUtil::RemoveAllDirFile(const std::string& path) {
    if (!IsDir(path)) return false;
    const std::wstring dir = win32::LocalToWide(path);
    std::vector<Entry> entries;
    if (!ListDir(dir, entries)) return false;
    const std::wstring prefix = dir + SeparatorAfter(dir);
    bool ok = true;
    for (const Entry& e : entries) ok = RemoveEntry(prefix + e.name, e.attributes) && ok;
    return ok;
}

bool CDirUtil::CopyDirectoryFile(const std::string& source, const std::string& target, bool overwrite) {
    // A copy into the tree itself would never end.
    if (!IsDir(source) || !detail::IsPathText(target)) return false;
    const std::wstring from = win32::LocalToWide(source);
    const std::wstring to = win32::LocalToWide(target);
    if (IsSameOrBelow(from, to) || !MakeDirs(to)) return false;
    return CopyTree(from, to, overwrite);
}

std::vector<std::string> CDirUtil::GetChildFilePath(const std::string& path) {
    std::vector<std::string> names;
    if (!detail::IsPathText(path)) return names;
    const std::wstring dir = win32::LocalToWide(path);
    std::vector<Entry> entries;
    if (!ListDir(dir, entries)) return names;
    names.reserve(entries.size());
    for (const Entry& e : entries) names.push_back(win32::WideToLocal(e.name));
    std::sort(names.begin(), names.end());
    const std::string prefix = path + win32::WideToLocal(SeparatorAfter(dir));
    for (std::string& name : names) name.insert(0, prefix);
    return names;
}

}  // namespace pyn

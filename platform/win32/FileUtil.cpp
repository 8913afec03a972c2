// File operations on Windows: wide-character calls on paths converted from
// the local code page. Where Windows differs from POSIX:
// - files are opened sharing read, write and delete, so others may go on
//   using, renaming or removing them meanwhile, as on POSIX;
// - RemoveFile removes a read-only file too (POSIX unlinks whatever the
//   file's mode); a file another program holds open without delete sharing
//   cannot be removed;
// - there are no permission bits: a replaced file keeps its attributes
//   (hidden, system) and its security descriptor (owner, group, DACL); a
//   copy gets the source's attributes (read-only included) and, when it
//   replaces a file, that file's security descriptor;
// - GetFileOwner names the owning account (without its domain), or gives
//   the SID as text when the system cannot name it;
// - the creation time is the file system's own (NTFS and FAT record one).
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "WinFs.h"
#include "WinText.h"
#include "common/TextAndFileHelpers.h"
#include "pyn/FileUtil.h"

namespace pyn {
namespace win32 {

bool QueryPath(const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info) {
    // No access right is needed for the attributes; backup semantics opens
    // directories too.
    HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    return ok;
}

bool DeleteFileForce(const std::wstring& path) {
    if (DeleteFileW(path.c_str())) return true;
    if (GetLastError() != ERROR_ACCESS_DENIED) return false;
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY)) return false;
    SetFileAttributesW(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    if (DeleteFileW(path.c_str())) return true;
    SetFileAttributesW(path.c_str(), attributes);
    return false;
}

}  // namespace win32

namespace {

// FILETIME (100 ns steps since 1601) as a time; null when it is 0.
CTimeUtil TimeOf(const FILETIME& ft) {
    uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    if (ticks == 0) return CTimeUtil();
    const int64_t kEpochDiff = 116444736000000000LL;  // 1601 to 1970
    int64_t since = static_cast<int64_t>(ticks) - kEpochDiff;
    int64_t seconds = since / 10000000;
    int64_t rest = since % 10000000;
    if (rest < 0) {
        rest += 10000000;
        --seconds;
    }
    return CTimeUtil(seconds, static_cast<int32_t>(rest * 100));
}

HANDLE OpenDiskFile(const std::string& path, DWORD access, DWORD disposition, DWORD flags = 0) {
    return win32::OpenDiskFile(win32::LocalToWide(path), access, disposition, flags);
}

bool QueryLocal(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
    return detail::IsPathText(path) && win32::QueryPath(win32::LocalToWide(path), info);
}

}  // namespace

bool CFileUtil::IsFile(const std::string& path) {
    if (!detail::IsPathText(path)) return false;
    DWORD attributes = GetFileAttributesW(win32::LocalToWide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool CFileUtil::ReadFullFile(const std::string& path, std::string& out, size_t maxBytes) {
    out.clear();
    if (!detail::IsPathText(path)) return false;
    // Others may go on reading, writing, renaming or deleting meanwhile, as on
    // POSIX. Opening a directory this way fails.
    HANDLE file = OpenDiskFile(path, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN);
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
    if (!detail::IsPathText(path)) return false;
    return win32::ReplaceFile(win32::LocalToWide(path), win32::ReplaceOptions(),
                              [&](HANDLE file) { return win32::WriteAll(file, bytes.data(), bytes.size()); });
}


bool CFileUtil::ReadOffsetFile(const std::string& path, int64_t offset, int64_t& length,
                               std::string& data) {
    data.clear();
    int64_t want = length;
    length = 0;
    if (offset < 0 || want < 0 || !detail::IsPathText(path)) return false;
    // A directory does not open without backup semantics.
    HANDLE file = OpenDiskFile(path, GENERIC_READ, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    const DWORD kChunk = 1 << 16;
    uint64_t done = 0;
    try {
        while (done < static_cast<uint64_t>(want)) {
            uint64_t left = static_cast<uint64_t>(want) - done;
            DWORD chunk = left < kChunk ? static_cast<DWORD>(left) : kChunk;
            size_t used = data.size();
            data.resize(used + chunk);
            uint64_t where = static_cast<uint64_t>(offset) + done;
            OVERLAPPED at = {};
            at.Offset = static_cast<DWORD>(where);
            at.OffsetHigh = static_cast<DWORD>(where >> 32);
            DWORD got = 0;
            if (!ReadFile(file, &data[used], chunk, &got, &at)) {
                data.resize(used);
                ok = GetLastError() == ERROR_HANDLE_EOF;  // offset at or past the end
                break;
            }
            data.resize(used + got);
            if (got == 0) break;
            done += got;
        }
    } catch (...) {
        CloseHandle(file);
        data.clear();
        throw;
    }
    CloseHandle(file);
    if (!ok) {
        data.clear();
        return false;
    }
    length = static_cast<int64_t>(data.size());
    return true;
}

bool CFileUtil::WriteAppendFile(const std::string& path, const ByteVector& bytes) {
    if (!detail::IsPathText(path)) return false;
    // Append access alone: every write lands at the end, also with other
    // writers.
    HANDLE file = OpenDiskFile(path, FILE_APPEND_DATA, OPEN_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = win32::WriteAll(file, reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (!CloseHandle(file)) ok = false;
    return ok;
}

bool CFileUtil::WriteOffsetFile(const std::string& path, int64_t offset, const std::string& bytes) {
    if (!detail::IsPathText(path) || offset < 0) return false;
    HANDLE file = OpenDiskFile(path, GENERIC_WRITE, OPEN_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = win32::WriteAll(file, bytes.data(), bytes.size(), offset);
    if (!CloseHandle(file)) ok = false;
    return ok;
}

bool CFileUtil::RemoveFile(const std::string& path) {
    if (!detail::IsPathText(path)) return false;
    return win32::DeleteFileForce(win32::LocalToWide(path));
}

bool CFileUtil::CopyFileW(const std::string& source, const std::string& target, bool overwrite) {
    if (!detail::IsPathText(source) || !detail::IsPathText(target)) return false;
    HANDLE in = OpenDiskFile(source, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN);
    if (in == INVALID_HANDLE_VALUE) return false;
    return win32::CopyFileFrom(in, win32::LocalToWide(target), overwrite);
}

uint64_t CFileUtil::GetFileSize(const std::string& path) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!QueryLocal(path, info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return 0;
    return (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

std::string CFileUtil::GetFileOwner(const std::string& path) {
    if (!detail::IsPathText(path)) return std::string();
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    std::wstring wide = win32::LocalToWide(path);
    if (GetNamedSecurityInfoW(wide.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                              nullptr, &descriptor) != ERROR_SUCCESS)
        return std::string();
    std::string result;
    if (owner) {
        DWORD nameSize = 0, domainSize = 0;
        SID_NAME_USE use;
        LookupAccountSidW(nullptr, owner, nullptr, &nameSize, nullptr, &domainSize, &use);
        if (nameSize > 0) {
            std::vector<wchar_t> name(nameSize), domain(domainSize + 1);
            if (LookupAccountSidW(nullptr, owner, name.data(), &nameSize, domain.data(), &domainSize, &use))
                result = win32::WideToLocal(name.data());
        }
        // An account the system cannot name: its SID as text ("S-1-5-...").
        LPWSTR text = nullptr;
        if (result.empty() && ConvertSidToStringSidW(owner, &text)) {
            result = win32::WideToLocal(text);
            LocalFree(text);
        }
    }
    LocalFree(descriptor);
    return result;
}

CTimeUtil CFileUtil::GetFileCreateTime(const std::string& path) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!QueryLocal(path, info)) return CTimeUtil();
    return TimeOf(info.ftCreationTime);
}

CTimeUtil CFileUtil::GetFileLastModifiedTime(const std::string& path) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!QueryLocal(path, info)) return CTimeUtil();
    return TimeOf(info.ftLastWriteTime);
}

}  // namespace pyn

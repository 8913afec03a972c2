// The opening and replacing rules of platform/win32 (see WinFs.h).
#include "WinFs.h"

#include <aclapi.h>

#include "WinText.h"
#include "common/TextAndFileHelpers.h"

#include <atomic>
#include <vector>

namespace pyn {
namespace win32 {

std::wstring TempPathBeside(const std::wstring& target, const wchar_t* tag) {
    static std::atomic<unsigned> counter{0};
    size_t slash = target.find_last_of(L"/\\");
    size_t nameStart = slash == std::wstring::npos ? 0 : slash + 1;
    if (nameStart == target.size()) return std::wstring();
    if (nameStart == 0 && target.size() >= 2 && target[1] == L':') return std::wstring();  // "C:" alone
    return target.substr(0, nameStart) + L"." + target.substr(nameStart) + L"." + tag +
           std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
}

HANDLE OpenDiskFile(const std::wstring& path, DWORD access, DWORD disposition, DWORD flags) {
    HANDLE file = CreateFileW(path.c_str(), access, kShareAll, nullptr, disposition, FILE_ATTRIBUTE_NORMAL | flags,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return file;
    BY_HANDLE_FILE_INFORMATION info;
    DWORD refused = FILE_ATTRIBUTE_DIRECTORY | ((flags & FILE_FLAG_OPEN_REPARSE_POINT) ? FILE_ATTRIBUTE_REPARSE_POINT : 0);
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & refused)) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

bool ReadsWithoutWaiting(const std::wstring& path) {
    HANDLE file = OpenDiskFile(path, GENERIC_READ, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
}

bool WriteAll(HANDLE file, const char* data, size_t size, long long offset) {
    const size_t kMaxChunk = size_t(1) << 30;
    size_t done = 0;
    while (done < size) {
        size_t left = size - done;
        DWORD chunk = static_cast<DWORD>(left > kMaxChunk ? kMaxChunk : left);
        DWORD wrote = 0;
        OVERLAPPED at = {};
        if (offset >= 0) {
            unsigned long long where = static_cast<unsigned long long>(offset) + done;
            at.Offset = static_cast<DWORD>(where);
            at.OffsetHigh = static_cast<DWORD>(where >> 32);
        }
        if (!WriteFile(file, data + done, chunk, &wrote, offset >= 0 ? &at : nullptr) || wrote == 0) return false;
        done += wrote;
    }
    return true;
}

namespace {

const DWORD kKeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                              FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
const SECURITY_INFORMATION kOwnerGroupDacl =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// A security descriptor from GetSecurityInfo, freed with it.
struct Descriptor {
    PSECURITY_DESCRIPTOR sd = nullptr;
    PSID owner = nullptr;
    PSID group = nullptr;
    Descriptor() = default;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { LocalFree(sd); }
    bool Read(HANDLE file, SECURITY_INFORMATION what) {
        PACL dacl = nullptr;
        return GetSecurityInfo(file, SE_FILE_OBJECT, what, &owner, &group,
                               (what & DACL_SECURITY_INFORMATION) ? &dacl : nullptr, nullptr, &sd) == ERROR_SUCCESS;
    }
};

bool SameSid(PSID a, PSID b) { return a && b && EqualSid(a, b); }

DWORD SettableAttributes(DWORD attributes) {
    DWORD kept = attributes & kKeptAttributes;
    return kept ? kept : FILE_ATTRIBUTE_NORMAL;
}

}  // namespace

bool ReplaceFileWith(const std::wstring& target, const ReplaceOptions& options, FillFn fill, void* context) {
    std::wstring tmp = TempPathBeside(target, options.tag);
    if (tmp.empty()) return false;
    // What is there now, a link itself rather than what it names.
    Descriptor old;
    bool keep = false;
    DWORD oldAttributes = INVALID_FILE_ATTRIBUTES;
    HANDLE now = CreateFileW(target.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (now == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return false;
    } else {
        BY_HANDLE_FILE_INFORMATION info;
        bool ok = options.overwrite && GetFileType(now) == FILE_TYPE_DISK && GetFileInformationByHandle(now, &info) &&
                  !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
        bool link = ok && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
        if (link && options.refuseLink) ok = false;
        if (ok && !link) {
            keep = true;
            oldAttributes = info.dwFileAttributes;
            ok = old.Read(now, kOwnerGroupDacl);
        }
        CloseHandle(now);
        if (!ok) return false;
    }

    SECURITY_ATTRIBUTES born = {sizeof born, old.sd, FALSE};
    HANDLE file = CreateFileW(tmp.c_str(), GENERIC_WRITE | READ_CONTROL, 0, keep ? &born : nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    if (keep) {
        // The system may give the new file another owner than the one asked
        // for (Wine does): then the old file stays.
        Descriptor made;
        ok = made.Read(file, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION) &&
             SameSid(made.owner, old.owner) && SameSid(made.group, old.group);
    }
    ok = ok && fill(file, context);
    if (ok && !FlushFileBuffers(file)) ok = false;
    if (!CloseHandle(file)) ok = false;
    DWORD attributes = options.attributes != INVALID_FILE_ATTRIBUTES ? options.attributes : oldAttributes;
    if (ok && attributes != INVALID_FILE_ATTRIBUTES)
        SetFileAttributesW(tmp.c_str(), SettableAttributes(attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)));
    DWORD move = MOVEFILE_WRITE_THROUGH | (options.overwrite ? MOVEFILE_REPLACE_EXISTING : 0);
    if (ok && !MoveFileExW(tmp.c_str(), target.c_str(), move)) ok = false;
    if (!ok) {
        SetFileAttributesW(tmp.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(tmp.c_str());
        return false;
    }
    if (options.attributes != INVALID_FILE_ATTRIBUTES && (options.attributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesW(target.c_str(), SettableAttributes(options.attributes));
    return true;
}

bool CopyFileFrom(HANDLE in, const std::wstring& target, bool overwrite, bool refuseLink) {
    // Closed as soon as it is read: the move that follows may not replace a
    // file that is still open (Wine refuses it), and `in` may be `target`.
    struct Source {
        HANDLE handle;
        ~Source() { Close(); }
        void Close() {
            if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
            handle = INVALID_HANDLE_VALUE;
        }
    } source{in};
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(in, &info)) return false;
    ReplaceOptions options;
    options.overwrite = overwrite;
    options.refuseLink = refuseLink;
    options.attributes = info.dwFileAttributes & kKeptAttributes;
    std::vector<char> buf(1 << 16);
    return ReplaceFile(target, options, [&](HANDLE out) {
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(in, buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr)) return false;
            if (got == 0) break;
            if (!WriteAll(out, buf.data(), got)) return false;
        }
        source.Close();
        return SetFileTime(out, nullptr, nullptr, &info.ftLastWriteTime) != FALSE;
    });
}

}  // namespace win32

namespace detail {

bool IsRegularFileOrNothing(const std::string& name) {
    if (!IsPathText(name)) return false;
    const std::wstring path = win32::ToWide(CP_UTF8, name.data(), name.size());
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    return win32::ReadsWithoutWaiting(path);
}

}  // namespace detail
}  // namespace pyn

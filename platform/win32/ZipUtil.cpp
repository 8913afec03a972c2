// The zip archives of CZipUtil on Windows: minizip over files opened by the
// open and replace routines (WinFs), paths in the local code page.
//
// Where Windows differs from the POSIX build:
// - Files carry no Unix permission bits: extraction ignores the ones an
//   archive records, and packing records the MS-DOS attributes (made by
//   MS-DOS) instead of a Unix mode.
// - Entry names: one flagged as UTF-8 is read as UTF-8, any other in the
//   local code page; packed names are written in UTF-8 (flagged as such when
//   not plain ASCII), so that they survive on a machine with another code
//   page.
// - Links: no file is written through an existing symbolic link or other
//   reparse point; while packing, links to files are stored as the files,
//   and directory links and junctions are not followed.
// - Entry names that Windows would read differently are refused with the
//   archive (see SafeEntryPath).
#include <windows.h>

#include <unzip.h>
#include <zip.h>

#include <string>
#include <vector>

#include "WinFs.h"
#include "WinText.h"
#include "common/TextAndFileHelpers.h"
#include "common/ZipEntryTime.h"
#include "common/ZipOverOpenFile.h"
#include "pyn/ZipUtil.h"

namespace pyn {
namespace {

const size_t kChunk = 1 << 16;
const unsigned kUtf8NameFlag = 1u << 11;

bool IsDirectory(const std::wstring& path) {
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// Makes `dir` and its missing parents.
bool MakeDirs(const std::wstring& dir) {
    if (dir.empty() || IsDirectory(dir)) return true;
    size_t slash = dir.find_last_of(L"/\\");
    // Stop at a drive ("C:") or a root.
    if (slash != std::wstring::npos && slash > 0 && !(slash == 2 && dir[1] == L':') &&
        !MakeDirs(dir.substr(0, slash)))
        return false;
    return CreateDirectoryW(dir.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

std::wstring TrimSeparators(std::wstring path) {
    while (path.size() > 1 && (path.back() == L'/' || path.back() == L'\\') &&
           !(path.size() == 3 && path[1] == L':'))
        path.pop_back();
    return path;
}

// Whether `part` names a DOS device ("NUL", "com1.txt", ...), which Windows
// opens instead of a file.
bool IsDeviceName(const std::wstring& part) {
    std::wstring base = part.substr(0, part.find(L'.'));
    for (wchar_t& c : base) c = c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
    if (base == L"CON" || base == L"PRN" || base == L"AUX" || base == L"NUL" || base == L"CONIN$" ||
        base == L"CONOUT$")
        return true;
    return base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0) &&
           base[3] >= L'1' && base[3] <= L'9';
}

// The components of an entry name ('/' and '\' both separate), or false
// when the name is absolute or climbs out of the target directory. Besides
// what the POSIX build refuses: components that Windows would read as
// something else (a trailing dot or space, which it drops, so that ".. "
// would climb; ':' naming a data stream; DOS device names). The name is
// split after decoding, so that no trail byte of a double-byte character
// reads as a separator.
bool SafeEntryPath(const std::wstring& name, std::vector<std::wstring>& parts) {
    parts.clear();
    if (name.empty() || name[0] == L'/' || name[0] == L'\\') return false;
    std::wstring part;
    for (size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == L'/' || name[i] == L'\\') {
            if (part == L"..") return false;
            if (!part.empty() && part != L".") {
                if (part.back() == L'.' || part.back() == L' ' || IsDeviceName(part)) return false;
                parts.push_back(part);
            }
            part.clear();
        } else if (name[i] == L'\0' || name[i] == L':') {
            return false;  // a drive letter or a data stream
        } else {
            part += name[i];
        }
    }
    return true;
}

// The system calls under minizip's file layer for an archive opened by the
// open routine, and for the one written into the replace routine's
// temporary.
struct HandleOps {
    using Handle = HANDLE;
    static long long Read(HANDLE file, void* buf, unsigned long size) {
        DWORD got = 0;
        return ReadFile(file, buf, size, &got, nullptr) ? static_cast<long long>(got) : -1;
    }
    static bool Write(HANDLE file, const void* data, unsigned long size) {
        return win32::WriteAll(file, static_cast<const char*>(data), size);
    }
    static long long Seek(HANDLE file, long long offset, int origin) {
        DWORD method = origin == ZLIB_FILEFUNC_SEEK_CUR   ? FILE_CURRENT
                       : origin == ZLIB_FILEFUNC_SEEK_END ? FILE_END
                                                          : FILE_BEGIN;
        LARGE_INTEGER to, at;
        to.QuadPart = offset;
        return SetFilePointerEx(file, to, &at, method) ? at.QuadPart : -1;
    }
};

// An archive read through the open routine: only a file on disk (a pipe or
// device, a Linux pipe under Wine, fails at once).
struct UnzipFile {
    HANDLE file;
    detail::ZipOverOpenFile<HandleOps> stream{INVALID_HANDLE_VALUE};
    unzFile zf = nullptr;
    explicit UnzipFile(const std::wstring& path)
        : file(win32::OpenDiskFile(path, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_RANDOM_ACCESS)) {
        if (file == INVALID_HANDLE_VALUE) return;
        stream.handle = file;
        zlib_filefunc64_def io = stream.Functions();
        zf = unzOpen2_64(&stream, &io);
    }
    UnzipFile(const UnzipFile&) = delete;
    UnzipFile& operator=(const UnzipFile&) = delete;
    ~UnzipFile() {
        if (zf) unzClose(zf);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }
};

// The current entry's name, decoded: UTF-8 when the entry says so, else the
// local code page; and its information.
bool CurrentEntry(unzFile zf, std::wstring& name, unz_file_info64& info) {
    if (unzGetCurrentFileInfo64(zf, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) return false;
    std::string raw(info.size_filename, '\0');
    if (info.size_filename > 0 &&
        unzGetCurrentFileInfo64(zf, &info, &raw[0], static_cast<uLong>(raw.size() + 1), nullptr, 0, nullptr, 0) !=
            UNZ_OK)
        return false;
    // An embedded NUL is refused (the decoded text would hide it).
    if (raw.find('\0') != std::string::npos) return false;
    UINT cp = (info.flag & kUtf8NameFlag) ? CP_UTF8 : win32::LocalCodePageId();
    name = win32::ToWide(cp, raw.data(), raw.size());
    return true;
}

// Makes the directories `parts[0..count)` below `path` (which ends with a
// separator) and appends each, with a separator, to `path`; refuses any that
// is a link or junction already in place: an entry "sub\\x" must not land
// wherever a link "sub" in the target points.
bool MakeDirsBelow(std::wstring& path, const std::vector<std::wstring>& parts, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        path += parts[i];
        DWORD a = GetFileAttributesW(path.c_str());
        if (a == INVALID_FILE_ATTRIBUTES) {
            if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
            a = GetFileAttributesW(path.c_str());
        }
        if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_DIRECTORY) || (a & FILE_ATTRIBUTE_REPARSE_POINT))
            return false;
        path += L"\\";
    }
    return true;
}

// Writes the current entry to `path`, only ever into a file on disk: a
// link, junction, directory, device or pipe at the name fails the entry and
// stays as it is. The entry must deliver exactly the size its header gives:
// a damaged stream can end early without the library noticing, and its CRC
// is checked only at full length.
bool WriteEntry(unzFile zf, const std::wstring& path, const unz_file_info64& info) {
    HANDLE file = win32::OpenDiskFile(path, GENERIC_WRITE, OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = SetEndOfFile(file) && unzOpenCurrentFile(zf) == UNZ_OK;
    bool opened = ok;
    std::vector<char> buf(kChunk);
    uint64_t written = 0;
    while (ok) {
        int n = unzReadCurrentFile(zf, buf.data(), static_cast<unsigned>(buf.size()));
        if (n < 0) ok = false;
        if (n <= 0) break;
        ok = win32::WriteAll(file, buf.data(), static_cast<size_t>(n));
        written += static_cast<uint64_t>(n);
    }
    if (written != info.uncompressed_size) ok = false;
    // Closing checks the entry's CRC.
    if (opened && unzCloseCurrentFile(zf) != UNZ_OK) ok = false;
    if (!CloseHandle(file)) ok = false;
    return ok;
}

}  // namespace

bool CZipUtil::miniUnzip(const std::string& zipFile, const std::string& destDir) {
    if (!detail::IsPathText(zipFile) || !detail::IsPathText(destDir)) return false;
    UnzipFile archive(win32::LocalToWide(zipFile));
    if (!archive.zf) return false;

    // Every name is checked before anything is written.
    std::wstring name;
    unz_file_info64 info;
    std::vector<std::wstring> parts;
    int rc = unzGoToFirstFile(archive.zf);
    while (rc == UNZ_OK) {
        if (!CurrentEntry(archive.zf, name, info) || !SafeEntryPath(name, parts)) return false;
        rc = unzGoToNextFile(archive.zf);
    }
    if (rc != UNZ_END_OF_LIST_OF_FILE) return false;

    std::wstring root = TrimSeparators(win32::LocalToWide(destDir));
    if (!MakeDirs(root)) return false;
    if (root.back() != L'\\' && root.back() != L'/') root += L'\\';
    for (rc = unzGoToFirstFile(archive.zf); rc == UNZ_OK; rc = unzGoToNextFile(archive.zf)) {
        if (!CurrentEntry(archive.zf, name, info) || !SafeEntryPath(name, parts)) return false;
        if (parts.empty()) continue;
        bool isDir = name.back() == L'/' || name.back() == L'\\';
        std::wstring path = root;
        if (!MakeDirsBelow(path, parts, isDir ? parts.size() : parts.size() - 1)) return false;
        if (!isDir && !WriteEntry(archive.zf, path + parts.back(), info)) return false;
    }
    return rc == UNZ_END_OF_LIST_OF_FILE;
}

namespace {

struct FileId {
    DWORD volume, high, low;
};

bool GetFileId(const std::wstring& path, FileId& id) {
    HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION fi;
    bool ok = GetFileInformationByHandle(h, &fi) != FALSE;
    CloseHandle(h);
    if (ok) id = FileId{fi.dwVolumeSerialNumber, fi.nFileIndexHigh, fi.nFileIndexLow};
    return ok;
}

bool IsAscii(const std::string& s) {
    for (unsigned char c : s)
        if (c >= 0x80) return false;
    return true;
}

struct ZipWriter {
    zipFile zf = nullptr;
    // The archive being written and the one it replaces.
    std::vector<FileId> skip;
    std::vector<char> buf = std::vector<char>(kChunk);

    static void FillInfo(const FILETIME& modified, DWORD attributes, zip_fileinfo& zi) {
        zi = zip_fileinfo{};
        FILETIME local;
        SYSTEMTIME t;
        if (FileTimeToLocalFileTime(&modified, &local) && FileTimeToSystemTime(&local, &t)) {
            zi.tmz_date.tm_sec = t.wSecond;
            zi.tmz_date.tm_min = t.wMinute;
            zi.tmz_date.tm_hour = t.wHour;
            zi.tmz_date.tm_mday = t.wDay;
            zi.tmz_date.tm_mon = t.wMonth - 1u;
            zi.tmz_date.tm_year = t.wYear;
        }
        detail::ClampToZipTimes(zi.tmz_date);
        zi.external_fa = attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                       FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_ARCHIVE);
    }

    bool Open(const std::wstring& entry, const WIN32_FIND_DATAW& fd, uint64_t size, int method) {
        std::string name = win32::FromWide(CP_UTF8, entry.data(), entry.size());
        zip_fileinfo zi;
        FillInfo(fd.ftLastWriteTime, fd.dwFileAttributes, zi);
        int zip64 = size >= 0xffffffffULL ? 1 : 0;
        // Made by MS-DOS (0), format version 3.0.
        return zipOpenNewFileInZip4_64(zf, name.c_str(), &zi, nullptr, 0, nullptr, 0, nullptr, method,
                                       method ? Z_DEFAULT_COMPRESSION : 0, 0, -MAX_WBITS, DEF_MEM_LEVEL,
                                       Z_DEFAULT_STRATEGY, nullptr, 0, 30u, IsAscii(name) ? 0 : kUtf8NameFlag,
                                       zip64) == ZIP_OK;
    }

    bool AddFile(const std::wstring& path, const std::wstring& entry, const WIN32_FIND_DATAW& fd) {
        // Follows a file link: the file it names is stored.
        HANDLE file = win32::OpenDiskFile(path, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN);
        if (file == INVALID_HANDLE_VALUE) return false;
        LARGE_INTEGER size{};
        GetFileSizeEx(file, &size);
        bool ok = Open(entry, fd, static_cast<uint64_t>(size.QuadPart), Z_DEFLATED);
        while (ok) {
            DWORD n = 0;
            if (!ReadFile(file, buf.data(), static_cast<DWORD>(buf.size()), &n, nullptr)) ok = false;
            if (!ok || n == 0) break;
            if (zipWriteInFileInZip(zf, buf.data(), n) != ZIP_OK) ok = false;
        }
        CloseHandle(file);
        if (zipCloseFileInZip(zf) != ZIP_OK) ok = false;
        return ok;
    }

    bool Skipped(const std::wstring& path) const {
        FileId id;
        if (!GetFileId(path, id)) return false;
        for (const FileId& s : skip)
            if (s.volume == id.volume && s.high == id.high && s.low == id.low) return true;
        return false;
    }

    bool AddDir(const std::wstring& dir, const std::wstring& prefix) {
        std::vector<WIN32_FIND_DATAW> entries;
        WIN32_FIND_DATAW fd;
        HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &fd);
        if (find == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
        do {
            if (wcscmp(fd.cFileName, L".") != 0 && wcscmp(fd.cFileName, L"..") != 0) entries.push_back(fd);
        } while (FindNextFileW(find, &fd));
        bool listed = GetLastError() == ERROR_NO_MORE_FILES;
        FindClose(find);
        if (!listed) return false;
        for (const WIN32_FIND_DATAW& e : entries) {
            std::wstring path = dir + L"\\" + e.cFileName;
            std::wstring entry = prefix + e.cFileName;
            bool isDir = (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            // Directory links and junctions are left out.
            if (isDir && (e.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) continue;
            if (isDir) {
                if (!Open(entry + L"/", e, 0, 0) || zipCloseFileInZip(zf) != ZIP_OK) return false;
                if (!AddDir(path, entry + L"/")) return false;
            } else {
                // A link whose target is gone is left out.
                if ((e.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                    GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
                    continue;
                if (Skipped(path)) continue;
                if (!AddFile(path, entry, e)) return false;
            }
        }
        return true;
    }
};

}  // namespace

bool CZipUtil::DirzipFile(const std::string& srcDir, const std::string& zipFile) {
    if (!detail::IsPathText(srcDir) || !detail::IsPathText(zipFile)) return false;
    std::wstring root = TrimSeparators(win32::LocalToWide(srcDir));
    if (!IsDirectory(root)) return false;
    if (root.back() == L'\\' || root.back() == L'/') root.pop_back();  // "C:\" lists as "C:\*"

    std::wstring target = win32::LocalToWide(zipFile);
    win32::ReplaceOptions options;
    options.tag = L"zip";
    return win32::ReplaceFile(target, options, [&](HANDLE file) {
        ZipWriter writer;
        // The archive being written and the one it replaces are not packed.
        BY_HANDLE_FILE_INFORMATION fi;
        if (!GetFileInformationByHandle(file, &fi)) return false;
        writer.skip.push_back(FileId{fi.dwVolumeSerialNumber, fi.nFileIndexHigh, fi.nFileIndexLow});
        FileId id;
        if (GetFileId(target, id)) writer.skip.push_back(id);
        detail::ZipOverOpenFile<HandleOps> stream{file};
        zlib_filefunc64_def io = stream.Functions();
        writer.zf = zipOpen2_64(&stream, APPEND_STATUS_CREATE, nullptr, &io);
        if (!writer.zf) return false;
        bool ok = writer.AddDir(root, std::wstring());
        if (zipClose(writer.zf, nullptr) != ZIP_OK) ok = false;
        return ok && !stream.failed;
    });
}

}  // namespace pyn

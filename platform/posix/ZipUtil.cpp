// The zip archives of CZipUtil, on minizip.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <unzip.h>
#include <zip.h>

#include <string>
#include <utility>
#include <vector>

#include "SafeFs.h"
#include "common/TextAndFileHelpers.h"
#include "common/ZipEntryTime.h"
#include "common/ZipOverOpenFile.h"
#include "pyn/ZipUtil.h"

namespace pyn {
namespace {

using posix::Fd;

const size_t kChunk = 1 << 16;

// Makes `dir` and its missing parents.
bool MakeDirs(const std::string& dir) {
    if (dir.empty()) return true;
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirs(dir.substr(0, slash))) return false;
    return mkdir(dir.c_str(), 0777) == 0 || errno == EEXIST;
}

// The components of an entry name ('/' and '\' both separate), or false
// when the name is absolute or climbs out of the target directory.
bool SafeEntryPath(const std::string& name, std::vector<std::string>& parts) {
    parts.clear();
    if (name.empty() || name[0] == '/' || name[0] == '\\') return false;
    if (name.size() >= 2 && name[1] == ':') return false;  // a drive letter
    std::string part;
    for (size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == '/' || name[i] == '\\') {
            if (part == "..") return false;
            if (!part.empty() && part != ".") parts.push_back(part);
            part.clear();
        } else if (name[i] == '\0') {
            return false;
        } else {
            part += name[i];
        }
    }
    return true;
}

// The system calls under minizip's file layer for an archive opened by the
// open routine, and for the one written into the replace routine's
// temporary.
struct FdOps {
    using Handle = int;
    static long long Read(int fd, void* buf, unsigned long size) {
        return posix::ReadSome(fd, static_cast<char*>(buf), size);
    }
    static bool Write(int fd, const void* data, unsigned long size) {
        return posix::WriteAll(fd, static_cast<const char*>(data), size);
    }
    static long long Seek(int fd, long long offset, int origin) {
        int whence = origin == ZLIB_FILEFUNC_SEEK_CUR   ? SEEK_CUR
                     : origin == ZLIB_FILEFUNC_SEEK_END ? SEEK_END
                                                        : SEEK_SET;
        return lseek(fd, static_cast<off_t>(offset), whence);
    }
};

// An archive read through the open routine: only a regular file, opened
// without waiting and read without waiting (a pipe, device or /proc/kmsg
// fails at once).
struct UnzipFile {
    Fd fd;
    detail::ZipOverOpenFile<FdOps> stream{-1};
    unzFile zf = nullptr;
    explicit UnzipFile(const std::string& path) {
        struct stat st;
        fd = Fd(posix::OpenRegular(AT_FDCWD, path.c_str(), O_RDONLY, st));
        if (!fd.ok()) return;
        stream.handle = fd.get();
        zlib_filefunc64_def io = stream.Functions();
        zf = unzOpen2_64(&stream, &io);
    }
    UnzipFile(const UnzipFile&) = delete;
    UnzipFile& operator=(const UnzipFile&) = delete;
    ~UnzipFile() {
        if (zf) unzClose(zf);
    }
};

bool CurrentEntry(unzFile zf, std::string& name, unz_file_info64& info) {
    if (unzGetCurrentFileInfo64(zf, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) return false;
    name.assign(info.size_filename, '\0');
    if (info.size_filename > 0 &&
        unzGetCurrentFileInfo64(zf, &info, &name[0], static_cast<uLong>(name.size() + 1), nullptr, 0, nullptr, 0) !=
            UNZ_OK)
        return false;
    return true;
}

// Unix permission bits of an entry made on Unix, else 0.
mode_t EntryMode(const unz_file_info64& info) {
    if ((info.version >> 8) != 3) return 0;
    return static_cast<mode_t>((info.external_fa >> 16) & 0777);
}

// Opens (making it when missing) the directory `parts[0..count)` below the
// open directory `root`, one component at a time and never through a
// symbolic link: an entry "sub/x" must not land wherever a link "sub"
// already in the target points.
Fd OpenDirBelow(int root, const std::vector<std::string>& parts, size_t count) {
    Fd dir(fcntl(root, F_DUPFD_CLOEXEC, 0));
    for (size_t i = 0; i < count && dir.ok(); ++i) dir = Fd(posix::MakeDirAt(dir.get(), parts[i].c_str()));
    return dir;
}

// Writes the current entry to `name` in directory `dir`, only ever into a
// regular file: whatever else is at the name (a pipe, device, socket, link
// or directory) fails the entry and stays as it is. The entry must deliver
// exactly the size its header gives: a damaged stream can end early without
// the library noticing, and its CRC is checked only at full length.
bool WriteEntry(unzFile zf, int dir, const std::string& name, const unz_file_info64& info, mode_t mode) {
    struct stat st;
    Fd fd(posix::OpenRegular(dir, name.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW, st));
    if (!fd.ok() || ftruncate(fd.get(), 0) != 0 || unzOpenCurrentFile(zf) != UNZ_OK) return false;
    bool ok = true;
    uint64_t written = 0;
    std::vector<char> buf(kChunk);
    while (ok) {
        int n = unzReadCurrentFile(zf, buf.data(), static_cast<unsigned>(buf.size()));
        if (n < 0) ok = false;
        if (n <= 0) break;
        ok = posix::WriteAll(fd.get(), buf.data(), static_cast<size_t>(n));
        written += static_cast<uint64_t>(n);
    }
    if (written != info.uncompressed_size) ok = false;
    // Closing checks the entry's CRC.
    if (unzCloseCurrentFile(zf) != UNZ_OK) ok = false;
    if (ok && mode != 0 && fchmod(fd.get(), mode) != 0) ok = false;
    return fd.Close() && ok;
}

}  // namespace

bool CZipUtil::miniUnzip(const std::string& zipFile, const std::string& destDir) {
    if (!detail::IsPathText(zipFile) || !detail::IsPathText(destDir)) return false;
    UnzipFile archive(zipFile);
    if (!archive.zf) return false;

    // Every name is checked before anything is written.
    std::string name;
    unz_file_info64 info;
    std::vector<std::string> parts;
    int rc = unzGoToFirstFile(archive.zf);
    while (rc == UNZ_OK) {
        if (!CurrentEntry(archive.zf, name, info) || !SafeEntryPath(name, parts)) return false;
        rc = unzGoToNextFile(archive.zf);
    }
    if (rc != UNZ_END_OF_LIST_OF_FILE) return false;

    std::string root = destDir;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    if (!MakeDirs(root)) return false;
    Fd rootDir(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
    if (!rootDir.ok()) return false;
    for (rc = unzGoToFirstFile(archive.zf); rc == UNZ_OK; rc = unzGoToNextFile(archive.zf)) {
        if (!CurrentEntry(archive.zf, name, info) || !SafeEntryPath(name, parts)) return false;
        if (parts.empty()) continue;
        bool isDir = name.back() == '/' || name.back() == '\\';
        Fd dir = OpenDirBelow(rootDir.get(), parts, isDir ? parts.size() : parts.size() - 1);
        if (!dir.ok()) return false;
        if (!isDir && !WriteEntry(archive.zf, dir.get(), parts.back(), info, EntryMode(info))) return false;
    }
    return rc == UNZ_END_OF_LIST_OF_FILE;
}

namespace {

struct ZipWriter {
    zipFile zf = nullptr;
    // The archive being written and the one it replaces.
    std::vector<std::pair<dev_t, ino_t>> skip;
    std::vector<char> buf = std::vector<char>(kChunk);

    static void FillInfo(const struct stat& st, zip_fileinfo& zi) {
        zi = zip_fileinfo{};
        struct tm t;
        localtime_r(&st.st_mtime, &t);
        zi.tmz_date.tm_sec = static_cast<uInt>(t.tm_sec);
        zi.tmz_date.tm_min = static_cast<uInt>(t.tm_min);
        zi.tmz_date.tm_hour = static_cast<uInt>(t.tm_hour);
        zi.tmz_date.tm_mday = static_cast<uInt>(t.tm_mday);
        zi.tmz_date.tm_mon = static_cast<uInt>(t.tm_mon);
        zi.tmz_date.tm_year = static_cast<uInt>(t.tm_year + 1900 > 0 ? t.tm_year + 1900 : 0);
        detail::ClampToZipTimes(zi.tmz_date);
        zi.external_fa = static_cast<uLong>(st.st_mode & 0177777) << 16;
        if (S_ISDIR(st.st_mode)) zi.external_fa |= 0x10;  // the MS-DOS directory bit
    }

    bool Open(const std::string& entry, const struct stat& st, int method) {
        zip_fileinfo zi;
        FillInfo(st, zi);
        int zip64 = S_ISREG(st.st_mode) && st.st_size >= 0xffffffffLL ? 1 : 0;
        // Made by Unix (3), format version 3.0: unzip then applies the mode bits.
        return zipOpenNewFileInZip4_64(zf, entry.c_str(), &zi, nullptr, 0, nullptr, 0, nullptr, method,
                                       method ? Z_DEFAULT_COMPRESSION : 0, 0, -MAX_WBITS, DEF_MEM_LEVEL,
                                       Z_DEFAULT_STRATEGY, nullptr, 0, (3u << 8) | 30u, 0, zip64) == ZIP_OK;
    }

    // `name` in `dir`; a link there (to a file) is followed when `follow`.
    bool AddFile(int dir, const std::string& name, bool follow, const std::string& entry) {
        struct stat st;
        Fd fd(posix::OpenRegular(dir, name.c_str(), O_RDONLY | (follow ? 0 : O_NOFOLLOW), st));
        if (!fd.ok()) return false;
        bool ok = Open(entry, st, Z_DEFLATED);
        while (ok) {
            ssize_t n = posix::ReadSome(fd.get(), buf.data(), buf.size());
            if (n < 0) ok = false;
            if (n <= 0) break;
            if (zipWriteInFileInZip(zf, buf.data(), static_cast<unsigned>(n)) != ZIP_OK) ok = false;
        }
        if (zipCloseFileInZip(zf) != ZIP_OK) ok = false;
        return ok;
    }

    bool Skipped(const struct stat& st) const {
        for (const auto& s : skip)
            if (s.first == st.st_dev && s.second == st.st_ino) return true;
        return false;
    }

    // Everything in the open directory `dir`, each entry opened relative to
    // it: a directory swapped for a link meanwhile is not followed.
    bool AddDir(int dir, const std::string& prefix) {
        std::vector<std::string> names;
        if (!posix::ListAt(dir, names)) return false;
        for (const std::string& n : names) {
            std::string entry = prefix + n;
            struct stat st;
            if (fstatat(dir, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
            bool link = S_ISLNK(st.st_mode);
            // A link to a file is stored as that file; any other link (to a
            // directory, dangling) is left out.
            if (link && (fstatat(dir, n.c_str(), &st, 0) != 0 || !S_ISREG(st.st_mode))) continue;
            if (Skipped(st)) continue;
            if (S_ISDIR(st.st_mode)) {
                Fd sub(posix::OpenDirAt(dir, n.c_str()));
                if (!sub.ok() || !Open(entry + "/", st, 0) || zipCloseFileInZip(zf) != ZIP_OK) return false;
                if (!AddDir(sub.get(), entry + "/")) return false;
            } else if (S_ISREG(st.st_mode)) {
                if (!AddFile(dir, n, link, entry)) return false;
            }
        }
        return true;
    }
};

}  // namespace

bool CZipUtil::DirzipFile(const std::string& srcDir, const std::string& zipFile) {
    if (!detail::IsPathText(srcDir) || !detail::IsPathText(zipFile)) return false;
    Fd root(open(srcDir.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
    if (!root.ok()) return false;
    posix::ReplaceOptions options;
    options.tag = "zip";
    return posix::ReplaceFile(zipFile, options, [&](int fd) {
        ZipWriter writer;
        struct stat st;
        if (fstat(fd, &st) != 0) return false;
        writer.skip.emplace_back(st.st_dev, st.st_ino);
        if (stat(zipFile.c_str(), &st) == 0) writer.skip.emplace_back(st.st_dev, st.st_ino);
        detail::ZipOverOpenFile<FdOps> stream{fd};
        zlib_filefunc64_def io = stream.Functions();
        writer.zf = zipOpen2_64(&stream, APPEND_STATUS_CREATE, nullptr, &io);
        if (!writer.zf) return false;
        bool ok = writer.AddDir(root.get(), std::string());
        if (zipClose(writer.zf, nullptr) != ZIP_OK) ok = false;
        return ok && !stream.failed;
    });
}

}  // namespace pyn

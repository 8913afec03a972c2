#include "pyn/FileUtil.h"

#include "TempFileBeside.h"
#include "UniqueFd.h"
#include "common/TextAndFileHelpers.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <vector>

namespace pyn {
namespace {

bool WriteAll(int fd, const char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Opens an existing path (or, with O_CREAT in `flags`, a new file) without
// waiting: a named pipe without a peer would block the open for good. Only a
// regular file is kept; a directory, pipe, socket or device gives -1 (a device
// such as an endless zero source would never reach its end).
int OpenRegularFile(const std::string& path, int flags, struct stat& st) {
    if (!detail::IsPathText(path)) return -1;
    int fd = open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, flags & O_APPEND) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Fills a temporary file beside `path` through `fill(fd)`, flushes it to
// disk and renames it over `path` (with `replace` false only when `path`
// does not exist yet). On failure the temporary is removed and `path` is
// untouched. `mode`, when not negative, is set on the result (the temporary
// is created readable by its owner only until then, so that no one opens it
// under looser bits than the result's); else a new file keeps the creation
// mode 0666 less the umask.
template <typename Fill>
bool WriteReplacing(const std::string& path, int mode, bool replace, Fill fill) {
    if (!detail::IsPathText(path)) return false;
    std::string target = posix::WholeFileWriteTarget(path);
    std::string tmp;
    int fd = posix::CreateTempBeside(target, "tmp", tmp, mode < 0 ? 0666 : 0600);
    if (fd < 0) return false;
    bool ok = false;
    try {
        ok = (mode < 0 || fchmod(fd, static_cast<mode_t>(mode)) == 0) && fill(fd);
    } catch (...) {
        // Filling may run out of memory: nothing of the temporary stays.
        close(fd);
        unlink(tmp.c_str());
        throw;
    }
    if (ok && fsync(fd) != 0) ok = false;
    if (close(fd) != 0) ok = false;
    if (ok) {
        ok = replace ? rename(tmp.c_str(), target.c_str()) == 0
                     : renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0;
    }
    if (!ok) unlink(tmp.c_str());
    return ok;
}

CTimeUtil TimeOf(const struct statx_timestamp& t) { return CTimeUtil(t.tv_sec, static_cast<int32_t>(t.tv_nsec)); }

}  // namespace


bool CFileUtil::IsFile(const std::string& path) {
    struct stat st;
    return detail::IsPathText(path) && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool CFileUtil::ReadFullFile(const std::string& path, std::string& out, size_t maxBytes) {
    out.clear();
    struct stat st;
    int fd = OpenRegularFile(path, O_RDONLY, st);
    if (fd < 0) return false;
    posix::UniqueFd owner(fd);
    bool ok = detail::ReadAllInto(out, static_cast<size_t>(st.st_size > 0 ? st.st_size : 0), maxBytes,
                                  [fd](char* buffer, size_t room) -> long long {
                                      for (;;) {
                                          ssize_t n = read(fd, buffer, room);
                                          if (n >= 0 || errno != EINTR) return n;
                                      }
                                  });
    owner.Close();
    return ok;
}

bool CFileUtil::ReplaceFileAtomically(const std::string& path, const std::string& bytes) {
    struct stat st;
    int mode = detail::IsPathText(path) && stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
    return WriteReplacing(path, mode, true,
                          [&](int fd) { return WriteAll(fd, bytes.data(), bytes.size()); });
}

bool CFileUtil::ReadOffsetFile(const std::string& path, int64_t offset, int64_t& length,
                               std::string& data) {
    data.clear();
    int64_t want = length;
    length = 0;
    if (offset < 0 || want < 0) return false;
    struct stat st;
    int fd = OpenRegularFile(path, O_RDONLY, st);
    if (fd < 0) return false;
    posix::UniqueFd owner(fd);
    bool ok = true;
    const size_t kChunk = 1 << 16;
    uint64_t done = 0;
    while (done < static_cast<uint64_t>(want)) {
        uint64_t left = static_cast<uint64_t>(want) - done;
        size_t chunk = left < kChunk ? static_cast<size_t>(left) : kChunk;
        size_t used = data.size();
        data.resize(used + chunk);
        ssize_t n = pread(fd, &data[used], chunk, static_cast<off_t>(offset + static_cast<int64_t>(done)));
        if (n < 0 && errno == EINTR) {
            data.resize(used);
            continue;
        }
        if (n <= 0) {
            data.resize(used);
            ok = n == 0;
            break;
        }
        data.resize(used + static_cast<size_t>(n));
        done += static_cast<uint64_t>(n);
    }
    owner.Close();
    if (!ok) {
        data.clear();
        return false;
    }
    length = static_cast<int64_t>(data.size());
    return true;
}

bool CFileUtil::WriteAppendFile(const std::string& path, const ByteVector& bytes) {
    struct stat st;
    int fd = OpenRegularFile(path, O_WRONLY | O_APPEND | O_CREAT, st);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (close(fd) != 0) ok = false;
    return ok;
}

bool CFileUtil::WriteOffsetFile(const std::string& path, int64_t offset, const std::string& bytes) {
    if (offset < 0) return false;
    struct stat st;
    int fd = OpenRegularFile(path, O_WRONLY | O_CREAT, st);
    if (fd < 0) return false;
    bool ok = true;
    size_t done = 0;
    while (ok && done < bytes.size()) {
        ssize_t n = pwrite(fd, bytes.data() + done, bytes.size() - done,
                           static_cast<off_t>(offset + static_cast<int64_t>(done)));
        if (n < 0) {
            if (errno != EINTR) ok = false;
        } else {
            done += static_cast<size_t>(n);
        }
    }
    if (close(fd) != 0) ok = false;
    return ok;
}

bool CFileUtil::RemoveFile(const std::string& path) {
    return detail::IsPathText(path) && unlink(path.c_str()) == 0;
}

bool CFileUtil::CopyFileW(const std::string& source, const std::string& target, bool overwrite) {
    struct stat st;
    int in = OpenRegularFile(source, O_RDONLY, st);
    if (in < 0) return false;
    posix::UniqueFd owner(in);
    bool ok = WriteReplacing(target, static_cast<int>(st.st_mode & 07777), overwrite, [&](int out) {
        std::vector<char> buf(1 << 16);
        for (;;) {
            ssize_t n = read(in, buf.data(), buf.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return false;
            if (n == 0) return true;
            if (!WriteAll(out, buf.data(), static_cast<size_t>(n))) return false;
        }
    });
    owner.Close();
    return ok;
}

uint64_t CFileUtil::GetFileSize(const std::string& path) {
    struct stat st;
    if (!detail::IsPathText(path) || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    return static_cast<uint64_t>(st.st_size);
}

std::string CFileUtil::GetFileOwner(const std::string& path) {
    struct stat st;
    if (!detail::IsPathText(path) || stat(path.c_str(), &st) != 0) return std::string();
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 4096);
    for (;;) {
        struct passwd pw;
        struct passwd* found = nullptr;
        int err = getpwuid_r(st.st_uid, &pw, buf.data(), buf.size(), &found);
        if (err == ERANGE && buf.size() < (1u << 20)) {
            buf.resize(buf.size() * 2);
            continue;
        }
        if (err == 0 && found && found->pw_name && *found->pw_name) return found->pw_name;
        return std::to_string(st.st_uid);
    }
}

CTimeUtil CFileUtil::GetFileCreateTime(const std::string& path) {
    struct statx stx;
    if (!detail::IsPathText(path) || statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &stx) != 0 ||
        !(stx.stx_mask & STATX_BTIME))
        return CTimeUtil();
    // Some file systems report a birth time of exactly 0 for files whose
    // birth they never recorded.
    if (stx.stx_btime.tv_sec == 0 && stx.stx_btime.tv_nsec == 0) return CTimeUtil();
    return TimeOf(stx.stx_btime);
}

CTimeUtil CFileUtil::GetFileLastModifiedTime(const std::string& path) {
    struct statx stx;
    if (!detail::IsPathText(path) || statx(AT_FDCWD, path.c_str(), 0, STATX_MTIME, &stx) != 0 ||
        !(stx.stx_mask & STATX_MTIME))
        return CTimeUtil();
    return TimeOf(stx.stx_mtime);
}

}  // namespace pyn

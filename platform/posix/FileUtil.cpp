#include "pyn/FileUtil.h"

#include "SafeFs.h"
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

using posix::Fd;

int OpenRegularPath(const std::string& path, int flags, struct stat& st) {
    return detail::IsPathText(path) ? posix::OpenRegular(AT_FDCWD, path.c_str(), flags, st) : -1;
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
    Fd fd(OpenRegularPath(path, O_RDONLY, st));
    if (!fd.ok()) return false;
    return detail::ReadAllInto(out, static_cast<size_t>(st.st_size > 0 ? st.st_size : 0), maxBytes,
                               [&fd](char* buffer, size_t room) -> long long {
                                   return posix::ReadSome(fd.get(), buffer, room);
                               });
}

bool CFileUtil::ReplaceFileAtomically(const std::string& path, const std::string& bytes) {
    return posix::ReplaceFile(path, posix::ReplaceOptions(),
                              [&](int fd) { return posix::WriteAll(fd, bytes.data(), bytes.size()); });
}

bool CFileUtil::ReadOffsetFile(const std::string& path, int64_t offset, int64_t& length,
                               std::string& data) {
    data.clear();
    int64_t want = length;
    length = 0;
    if (offset < 0 || want < 0) return false;
    struct stat st;
    Fd fd(OpenRegularPath(path, O_RDONLY, st));
    if (!fd.ok()) return false;
    const size_t kChunk = 1 << 16;
    uint64_t done = 0;
    while (done < static_cast<uint64_t>(want)) {
        uint64_t left = static_cast<uint64_t>(want) - done;
        size_t chunk = left < kChunk ? static_cast<size_t>(left) : kChunk;
        size_t used = data.size();
        data.resize(used + chunk);
        ssize_t n = posix::ReadSome(fd.get(), &data[used], chunk, static_cast<off_t>(offset + static_cast<int64_t>(done)));
        if (n < 0) {
            data.clear();
            return false;
        }
        data.resize(used + static_cast<size_t>(n));
        if (n == 0) break;
        done += static_cast<uint64_t>(n);
    }
    length = static_cast<int64_t>(data.size());
    return true;
}

bool CFileUtil::WriteAppendFile(const std::string& path, const ByteVector& bytes) {
    struct stat st;
    Fd fd(OpenRegularPath(path, O_WRONLY | O_APPEND | O_CREAT, st));
    if (!fd.ok()) return false;
    bool ok = posix::WriteAll(fd.get(), reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return fd.Close() && ok;
}

bool CFileUtil::WriteOffsetFile(const std::string& path, int64_t offset, const std::string& bytes) {
    if (offset < 0) return false;
    struct stat st;
    Fd fd(OpenRegularPath(path, O_WRONLY | O_CREAT, st));
    if (!fd.ok()) return false;
    bool ok = true;
    size_t done = 0;
    while (ok && done < bytes.size()) {
        ssize_t n = pwrite(fd.get(), bytes.data() + done, bytes.size() - done,
                           static_cast<off_t>(offset + static_cast<int64_t>(done)));
        if (n < 0) {
            if (errno != EINTR) ok = false;
        } else {
            done += static_cast<size_t>(n);
        }
    }
    return fd.Close() && ok;
}

bool CFileUtil::RemoveFile(const std::string& path) {
    return detail::IsPathText(path) && unlink(path.c_str()) == 0;
}

bool CFileUtil::CopyFileW(const std::string& source, const std::string& target, bool overwrite) {
    struct stat st;
    Fd in(OpenRegularPath(source, O_RDONLY, st));
    if (!in.ok()) return false;
    posix::ReplaceOptions options;
    options.overwrite = overwrite;
    options.mode = static_cast<int>(st.st_mode & 07777);
    return posix::ReplaceFile(target, options, [&](int out) { return posix::CopyAll(in.get(), out); });
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

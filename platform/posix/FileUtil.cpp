#include "pyn/FileUtil.h"

#include <errno.h>
#include <stdlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pyn {

bool CFileUtil::IsFile(const std::string& path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool CFileUtil::ReadFullFile(const std::string& path, std::string& out, size_t maxBytes) {
    out.clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return false;
    }
    // The size is a hint only: the file may grow or shrink while it is read.
    size_t want = st.st_size > 0 ? static_cast<size_t>(st.st_size) : 4096;
    if (want > maxBytes) want = maxBytes;
    out.resize(want);
    size_t used = 0;
    bool ok = true;
    while (used < maxBytes) {
        if (used == out.size()) {
            size_t grow = out.size() < maxBytes / 2 ? out.size() * 2 : maxBytes;
            out.resize(grow > used ? grow : used + 4096);
        }
        ssize_t n = read(fd, &out[used], out.size() - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        if (n == 0) break;
        used += static_cast<size_t>(n);
    }
    close(fd);
    if (!ok) {
        out.clear();
        return false;
    }
    out.resize(used);
    return true;
}

bool CFileUtil::ReplaceFileAtomically(const std::string& path, const std::string& bytes) {
    if (path.empty()) return false;
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (base.empty()) return false;
    std::string tmp = (slash == std::string::npos ? std::string() : dir) + "." + base + ".tmpXXXXXX";
    int fd = mkostemp(&tmp[0], O_CLOEXEC);
    if (fd < 0) return false;

    struct stat st;
    mode_t mode;
    if (stat(path.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    bool ok = fchmod(fd, mode) == 0;
    size_t done = 0;
    while (ok && done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
        } else {
            done += static_cast<size_t>(n);
        }
    }
    if (ok && fsync(fd) != 0) ok = false;
    if (close(fd) != 0) ok = false;
    if (ok && rename(tmp.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace pyn

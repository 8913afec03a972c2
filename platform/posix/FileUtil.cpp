#include "pyn/FileUtil.h"

#include "common/TextAndFileHelpers.h"

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
    bool ok = detail::ReadAllInto(out, static_cast<size_t>(st.st_size > 0 ? st.st_size : 0), maxBytes,
                                  [fd](char* buffer, size_t room) -> long long {
                                      for (;;) {
                                          ssize_t n = read(fd, buffer, room);
                                          if (n >= 0 || errno != EINTR) return n;
                                      }
                                  });
    close(fd);
    return ok;
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

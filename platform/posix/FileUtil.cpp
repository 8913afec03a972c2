#include "pyn/FileUtil.h"

#include <errno.h>
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

}  // namespace pyn

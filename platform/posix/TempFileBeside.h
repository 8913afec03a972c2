// A new temporary file in the directory of a target path (for writing a file
// whole and renaming it over the target). Private to platform/posix.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>

namespace pyn {
namespace posix {

// Room for the dot, the tag and the unique part within 255 bytes.
constexpr size_t kMaxTempBaseBytes = 180;

// The file a whole-file write of `path` (a temporary renamed over it)
// lands in: the target of a link (a link stays a link, as an in-place write
// through it would leave it), else `path` itself. A dangling link is
// replaced.
inline std::string WholeFileWriteTarget(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved) return path;
    std::string target(resolved);
    free(resolved);
    return target;
}

// Creates "<dir>/.<name>.<tag><unique>" exclusively with `mode` less the
// umask (by default the mode an ordinary new file gets) and returns its
// descriptor, or -1; `tmpPath` receives the name. A long name is cut so that
// the temporary's name stays within the file system's limit of 255 bytes.
inline int CreateTempBeside(const std::string& target, const char* tag, std::string& tmpPath,
                            mode_t mode = 0666) {
    static std::atomic<unsigned> counter{0};
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    if (base.empty()) return -1;  // a directory's path
    if (base.size() > kMaxTempBaseBytes) base.resize(kMaxTempBaseBytes);
    for (int attempt = 0; attempt < 100; ++attempt) {
        char unique[64];
        unsigned long long stamp =
            static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
        std::snprintf(unique, sizeof unique, "%ld.%u.%llx", static_cast<long>(getpid()), counter++, stamp);
        tmpPath = dir + "." + base + "." + tag + unique;
        int fd = open(tmpPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

}  // namespace posix
}  // namespace pyn

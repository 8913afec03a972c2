#include "SafeFs.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>

#include "common/TextAndFileHelpers.h"

namespace pyn {
namespace posix {

Fd::~Fd() {
    if (m_fd >= 0) close(m_fd);
}

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0) close(m_fd);
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

bool Fd::Close() {
    int fd = m_fd;
    m_fd = -1;
    return fd < 0 || close(fd) == 0;
}

int OpenRegular(int dir, const char* name, int flags, struct stat& st) {
    if (fstatat(dir, name, &st, (flags & O_NOFOLLOW) ? AT_SYMLINK_NOFOLLOW : 0) == 0) {
        if (!S_ISREG(st.st_mode)) {
            errno = EINVAL;
            return -1;
        }
    } else if (errno != ENOENT || !(flags & O_CREAT)) {
        return -1;
    }
    int fd = openat(dir, name, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

bool ReadsWithoutWaiting(const std::string& path) {
    struct stat st;
    Fd fd(detail::IsPathText(path) ? OpenRegular(AT_FDCWD, path.c_str(), O_RDONLY, st) : -1);
    char first;
    return fd.ok() && ReadSome(fd.get(), &first, 1, 0) >= 0;
}

ssize_t ReadSome(int fd, char* buffer, size_t size, off_t offset) {
    for (;;) {
        ssize_t n = offset < 0 ? read(fd, buffer, size) : pread(fd, buffer, size, offset);
        if (n >= 0 || errno != EINTR) return n < 0 ? -1 : n;
    }
}

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

bool CopyAll(int in, int out) {
    char buf[1 << 16];
    for (;;) {
        ssize_t n = ReadSome(in, buf, sizeof buf);
        if (n <= 0) return n == 0;
        if (!WriteAll(out, buf, static_cast<size_t>(n))) return false;
    }
}

namespace {

// Room for the dot, the tag and the unique part within 255 bytes.
constexpr size_t kMaxTempBaseBytes = 180;

// Creates ".<name>.<tag><unique>" in `dir` exclusively with `mode` (less
// the umask); gives its descriptor and name, or -1. A long name is cut so
// that the temporary's stays within the file system's limit of 255 bytes.
int CreateTempAt(int dir, const std::string& name, const char* tag, mode_t mode, std::string& tmpName) {
    static std::atomic<unsigned> counter{0};
    std::string base = name.size() > kMaxTempBaseBytes ? name.substr(0, kMaxTempBaseBytes) : name;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char unique[64];
        unsigned long long stamp =
            static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
        snprintf(unique, sizeof unique, "%ld.%u.%llx", static_cast<long>(getpid()), counter++, stamp);
        tmpName = "." + base + "." + tag + unique;
        int fd = openat(dir, tmpName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// Gives the open file `fd` the owner, group and mode of `old` (owner and
// group first: changing them clears the set-id bits).
bool TakeOverOwnerAndMode(int fd, const struct stat& old) {
    struct stat now;
    if (fstat(fd, &now) != 0) return false;
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) && fchown(fd, old.st_uid, old.st_gid) != 0)
        return false;
    return fchmod(fd, old.st_mode & 07777) == 0;
}

bool IsPlainName(const std::string& name) {
    return detail::IsPathText(name) && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace

bool ReplaceAt(int dir, const std::string& name, const ReplaceOptions& options, FillFn fill, void* context) {
    if (!IsPlainName(name)) return false;
    struct stat old;
    bool exists = fstatat(dir, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno != ENOENT) return false;
    // Whether the file's owner, group and mode carry over (not a link's).
    bool keep = exists;
    if (exists) {
        if (!options.overwrite) return false;
        if (S_ISLNK(old.st_mode)) {
            if (!options.replaceLink) return false;
            keep = false;
        } else if (!S_ISREG(old.st_mode)) {
            return false;
        }
    }
    // A new file without a mode of its own is made as any new file is
    // (0666 less the umask) and keeps that; every other temporary is its
    // owner's alone until it is complete.
    bool plainNew = !keep && options.mode < 0;
    std::string tmp;
    Fd fd(CreateTempAt(dir, name, options.tag, plainNew ? 0666 : 0600, tmp));
    if (!fd.ok()) return false;
    bool ok = fill(fd.get(), context);
    if (ok && keep) ok = TakeOverOwnerAndMode(fd.get(), old);
    if (ok && !keep && !plainNew) ok = fchmod(fd.get(), static_cast<mode_t>(options.mode & 07777)) == 0;
    if (ok && fsync(fd.get()) != 0) ok = false;
    if (!fd.Close()) ok = false;
    if (ok) {
        ok = options.overwrite ? renameat(dir, tmp.c_str(), dir, name.c_str()) == 0
                               : renameat2(dir, tmp.c_str(), dir, name.c_str(), RENAME_NOREPLACE) == 0;
    }
    if (!ok) unlinkat(dir, tmp.c_str(), 0);
    return ok;
}

namespace {

// The file a whole-file write of `path` lands in: the one a link at `path`
// names (the link stays a link, as an in-place write through it would leave
// it), else `path` itself, also for a link that names nothing.
std::string WholeFileWriteTarget(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved) return path;
    std::string target(resolved);
    free(resolved);
    return target;
}

}  // namespace

bool ReplacePath(const std::string& path, const ReplaceOptions& options, FillFn fill, void* context) {
    if (!detail::IsPathText(path) || path.back() == '/') return false;
    const std::string target = WholeFileWriteTarget(path);
    size_t slash = target.rfind('/');
    std::string dirPath = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    // Only a place for *at() calls: no right to read the directory needed.
    Fd dir(open(dirPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.ok()) return false;
    ReplaceOptions atPath = options;
    atPath.replaceLink = true;
    return ReplaceAt(dir.get(), slash == std::string::npos ? target : target.substr(slash + 1), atPath, fill,
                     context);
}

int OpenDirAt(int dir, const char* name) {
    return openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

int MakeDirAt(int dir, const char* name) {
    if (mkdirat(dir, name, 0777) != 0 && errno != EEXIST) return -1;
    return OpenDirAt(dir, name);
}

bool ListAt(int dir, std::vector<std::string>& names) {
    names.clear();
    // A description of its own: reading moves its offset, not that of `dir`.
    int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    posix::DirStream d(fdopendir(fd));
    if (!d) {
        close(fd);
        return false;
    }
    errno = 0;
    while (struct dirent* entry = readdir(d.get())) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) names.emplace_back(entry->d_name);
        errno = 0;
    }
    bool ok = errno == 0;
    std::sort(names.begin(), names.end());
    return ok;
}

bool RemoveChildrenAt(int dir) {
    std::vector<std::string> names;
    if (!ListAt(dir, names)) return false;
    bool ok = true;
    for (const std::string& name : names) ok = RemoveTreeAt(dir, name) && ok;
    return ok;
}

bool RemoveTreeAt(int dir, const std::string& name) {
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
    if (S_ISDIR(st.st_mode)) {
        Fd sub(OpenDirAt(dir, name.c_str()));
        if (sub.ok()) {
            if (!RemoveChildrenAt(sub.get())) return false;
            sub.Close();
            return unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
        }
        // Put in the place of the directory meanwhile: a link, removed as such.
        if (errno != ELOOP && errno != ENOTDIR) return errno == ENOENT;
    }
    return unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT;
}

}  // namespace posix

namespace detail {

bool IsRegularFileOrNothing(const std::string& path) {
    struct stat st;
    if (!IsPathText(path)) return false;
    if (stat(path.c_str(), &st) != 0) return errno == ENOENT;
    return posix::ReadsWithoutWaiting(path);
}

}  // namespace detail
}  // namespace pyn

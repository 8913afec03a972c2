// The file-system rules of platform/posix in one place: how a file is
// opened (without waiting, regular files only), how a whole file is
// replaced (through a temporary beside it that takes over the old file's
// owner, group and mode), and how a tree is walked (each entry relative to
// its open parent, never through a link). Private to platform/posix.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace pyn {
namespace posix {

// A descriptor that closes itself.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd();
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    Fd& operator=(Fd&& other) noexcept;
    int get() const { return m_fd; }
    bool ok() const { return m_fd >= 0; }
    // Closes now; false when closing reports a failure (a lost write).
    bool Close();

private:
    int m_fd = -1;
};

// A directory stream that closes itself (and the descriptor under it).
struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirStream = std::unique_ptr<DIR, DirCloser>;

// Opens `name` relative to the directory `dir` (AT_FDCWD: the current
// directory; an absolute name ignores `dir`), for the access and the
// O_CREAT, O_APPEND and O_NOFOLLOW bits given in `flags`. Only a regular
// file is opened: the name is looked at first, so that no device is ever
// opened (opening some acts: a watchdog starts, a tape rewinds), and the
// opened descriptor is checked again (the name may change in between).
// The open never waits (a pipe without a peer would block it for good) and
// the descriptor stays non-blocking: a read that would wait, as one of
// /proc/kmsg does, fails with EAGAIN. No controlling terminal, closed on
// exec. Gives the descriptor and fills `st`, or -1.
int OpenRegular(int dir, const char* name, int flags, struct stat& st);

// Whether `path` (links followed) names a regular file whose reading
// starts without waiting: false for a pipe, socket, device or directory,
// and for a file such as /proc/kmsg whose first read would wait. For
// loaders that open the file again themselves with calls that would wait
// on it (the dynamic loader, SQLite).
bool ReadsWithoutWaiting(const std::string& path);

// One read() or pread() (at `offset` when it is not negative), repeated
// when a signal interrupts it: the bytes read, 0 at the end, -1 on any
// failure, a read that would wait included.
ssize_t ReadSome(int fd, char* buffer, size_t size, off_t offset = -1);
bool WriteAll(int fd, const char* data, size_t size);
// Copies what is left of `in` to `out`.
bool CopyAll(int in, int out);

// How a file is replaced.
struct ReplaceOptions {
    // Tag in the temporary's name (".<name>.<tag><unique>").
    const char* tag = "tmp";
    // False: an existing file is left alone and the call fails.
    bool overwrite = true;
    // Mode of a new file; negative: 0666 less the umask. A replaced file
    // keeps its own mode.
    int mode = -1;
    // What a symbolic link found at the name itself gives: true, it is
    // replaced as if nothing were there (never written through); false, the
    // call fails and the link stays.
    bool replaceLink = false;
};

using FillFn = bool (*)(int fd, void* context);

// Writes a file `name` in the open directory `dir` whole: `fill` writes the
// contents to a new temporary file beside it (readable by its owner only
// while it is filled), which is flushed to disk, given the owner, group and
// mode of the file it replaces, and renamed over it. A name that holds
// anything but a regular file (a directory, pipe, socket, device; a link as
// `replaceLink` says) is refused untouched. When the owner or group cannot
// be given (the agent is neither root nor the file's owner) the call fails:
// the file stays its owner's, as it was. On every failure the temporary is
// removed and the old file is as it was.
bool ReplaceAt(int dir, const std::string& name, const ReplaceOptions& options, FillFn fill, void* context);
// The same for a path: a link at `path` is followed, so that the file it
// names is replaced and the link stays (a link that names nothing is
// replaced itself). A path ending in '/' names a directory and fails.
bool ReplacePath(const std::string& path, const ReplaceOptions& options, FillFn fill, void* context);

template <class Fill>
bool ReplaceFile(const std::string& path, const ReplaceOptions& options, Fill&& fill) {
    using F = typename std::remove_reference<Fill>::type;
    return ReplacePath(
        path, options, [](int fd, void* c) -> bool { return (*static_cast<F*>(c))(fd); }, &fill);
}

template <class Fill>
bool ReplaceFileAt(int dir, const std::string& name, const ReplaceOptions& options, Fill&& fill) {
    using F = typename std::remove_reference<Fill>::type;
    return ReplaceAt(
        dir, name, options, [](int fd, void* c) -> bool { return (*static_cast<F*>(c))(fd); }, &fill);
}

// Opens the directory `name` below `dir` for reading, never through a
// symbolic link (ELOOP or ENOTDIR then) and without waiting; -1 on failure.
int OpenDirAt(int dir, const char* name);
// Makes the directory `name` below `dir` when it is missing and opens it as
// OpenDirAt does: a link or anything else at the name fails.
int MakeDirAt(int dir, const char* name);
// The names in the open directory `dir` without "." and "..", sorted
// bytewise; false when it cannot be read.
bool ListAt(int dir, std::vector<std::string>& names);
// Removes `name` in `dir` with everything below it. A link is removed
// itself, never followed, also one put in the place of a directory while
// the walk goes on. True when nothing of it is left (also when it was
// missing).
bool RemoveTreeAt(int dir, const std::string& name);
// Removes everything inside the open directory `dir`.
bool RemoveChildrenAt(int dir);

}  // namespace posix
}  // namespace pyn

#include "pyn/DirUtil.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "SafeFs.h"
#include "common/TextAndFileHelpers.h"

namespace fs = std::filesystem;

namespace pyn {
namespace {

using posix::Fd;

std::string Join(const std::string& dir, const std::string& name) {
    if (!dir.empty() && dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

// True when `inner` is `outer` or lies below it (after resolving links).
bool IsSameOrBelow(const std::string& outer, const std::string& inner) {
    std::error_code ec;
    std::string a = fs::weakly_canonical(outer, ec).string();
    if (ec) return false;
    std::string b = fs::weakly_canonical(inner, ec).string();
    if (ec) return false;
    while (a.size() > 1 && a.back() == '/') a.pop_back();
    if (a == "/" || a == b) return true;
    return b.size() > a.size() && b.compare(0, a.size(), a) == 0 && b[a.size()] == '/';
}

// The full paths of the entries of directory `path`, sorted by name; false
// when the directory cannot be read (an unreadable directory is not empty).
bool ListChildren(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    if (!detail::IsPathText(path)) return false;
    Fd dir(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
    if (!dir.ok() || !posix::ListAt(dir.get(), names)) return false;
    for (std::string& name : names) name = Join(path, name);
    return true;
}

bool CopyTreeAt(int from, int to, bool overwrite);

// A link in the source becomes the same link; with `overwrite` it replaces
// a link of that name, nothing else.
bool CopyLinkAt(int from, int to, const std::string& name, bool overwrite) {
    std::vector<char> target(PATH_MAX + 1);
    ssize_t n = readlinkat(from, name.c_str(), target.data(), target.size());
    if (n < 0 || static_cast<size_t>(n) >= target.size()) return false;
    target[static_cast<size_t>(n)] = '\0';
    struct stat st;
    if (fstatat(to, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!overwrite || !S_ISLNK(st.st_mode) || unlinkat(to, name.c_str(), 0) != 0) return false;
    }
    return symlinkat(target.data(), to, name.c_str()) == 0;
}

// One entry of the source directory `from` into the target directory `to`.
// Nothing is opened through a link on either side: a link found in the
// target where a file or directory must go stays as it is and the entry is
// not copied.
bool CopyEntryAt(int from, int to, const std::string& name, bool overwrite) {
    struct stat st;
    if (fstatat(from, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (S_ISDIR(st.st_mode)) {
        Fd source(posix::OpenDirAt(from, name.c_str()));
        Fd target(source.ok() ? posix::MakeDirAt(to, name.c_str()) : -1);
        return target.ok() && CopyTreeAt(source.get(), target.get(), overwrite);
    }
    if (S_ISREG(st.st_mode)) {
        Fd in(posix::OpenRegular(from, name.c_str(), O_RDONLY | O_NOFOLLOW, st));
        if (!in.ok()) return false;
        posix::ReplaceOptions options;
        options.overwrite = overwrite;
        options.mode = static_cast<int>(st.st_mode & 07777);
        return posix::ReplaceFileAt(to, name, options, [&](int out) { return posix::CopyAll(in.get(), out); });
    }
    if (S_ISLNK(st.st_mode)) return CopyLinkAt(from, to, name, overwrite);
    return false;  // devices, pipes and sockets are not copied
}

bool CopyTreeAt(int from, int to, bool overwrite) {
    std::vector<std::string> names;
    if (!posix::ListAt(from, names)) return false;
    bool ok = true;
    for (const std::string& name : names) ok = CopyEntryAt(from, to, name, overwrite) && ok;
    return ok;
}

}  // namespace

bool CDirUtil::IsDir(const std::string& path) {
    struct stat st;
    return detail::IsPathText(path) && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CDirUtil::MakeDirPath(const std::string& path) {
    if (!detail::IsPathText(path)) return false;
    std::error_code ec;
    fs::create_directories(path, ec);
    return IsDir(path);
}

bool CDirUtil::RemoveDir(const std::string& path) {
    if (!detail::IsPathText(path)) return false;
    // The named path is followed up to its last component, which goes itself
    // (a link there is removed, not what it names).
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    size_t slash = trimmed.rfind('/');
    std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : trimmed.substr(0, slash);
    std::string name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
    if (name.empty() || name == "/") name = ".";
    Fd dir(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
    if (!dir.ok()) return errno == ENOENT;
    return posix::RemoveTreeAt(dir.get(), name);
}

bool CDirUtil::RemoveAllDirFile(const std::string& path) {
    if (!IsDir(path)) return false;
    Fd dir(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
    return dir.ok() && posix::RemoveChildrenAt(dir.get());
}

bool CDirUtil::CopyDirectoryFile(const std::string& source, const std::string& target,
                                 bool overwrite) {
    // A copy into the tree itself would never end.
    if (!IsDir(source) || !detail::IsPathText(target) || IsSameOrBelow(source, target)) return false;
    Fd from(open(source.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
    if (!from.ok() || !MakeDirPath(target)) return false;
    Fd to(open(target.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
    return to.ok() && CopyTreeAt(from.get(), to.get(), overwrite);
}

std::vector<std::string> CDirUtil::GetChildFilePath(const std::string& path) {
    std::vector<std::string> names;
    if (!ListChildren(path, names)) names.clear();
    return names;
}

}  // namespace pyn

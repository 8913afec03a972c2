#include "pyn/DirUtil.h"

#include <dirent.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "DirEntries.h"
#include "common/TextAndFileHelpers.h"
#include "pyn/FileUtil.h"

namespace fs = std::filesystem;

namespace pyn {
namespace {

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
    const bool ok = posix::ReadDirNames(path, names);
    std::sort(names.begin(), names.end());
    for (std::string& name : names) name = Join(path, name);
    return ok;
}

bool CopyTree(const std::string& source, const std::string& target, bool overwrite) {
    std::vector<std::string> children;
    if (!ListChildren(source, children)) return false;
    if (!CDirUtil::MakeDirPath(target)) return false;
    bool ok = true;
    for (const std::string& name : children) {
        std::string leaf = name.substr(name.rfind('/') + 1);
        std::string to = Join(target, leaf);
        struct stat st;
        if (lstat(name.c_str(), &st) != 0) {
            ok = false;
        } else if (S_ISDIR(st.st_mode)) {
            ok = CopyTree(name, to, overwrite) && ok;
        } else if (S_ISREG(st.st_mode)) {
            ok = CFileUtil::CopyFileW(name, to, overwrite) && ok;
        } else if (S_ISLNK(st.st_mode)) {
            std::error_code ec;
            if (overwrite && fs::is_symlink(fs::symlink_status(to, ec))) fs::remove(to, ec);
            fs::copy_symlink(name, to, ec);
            if (ec) ok = false;
        } else {
            ok = false;  // devices, pipes and sockets are not copied
        }
    }
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
    std::error_code ec;
    fs::remove_all(path, ec);
    return !ec;
}

bool CDirUtil::RemoveAllDirFile(const std::string& path) {
    std::vector<std::string> children;
    if (!IsDir(path) || !ListChildren(path, children)) return false;
    bool ok = true;
    for (const std::string& child : children) {
        std::error_code ec;
        fs::remove_all(child, ec);
        if (ec) ok = false;
    }
    return ok;
}

bool CDirUtil::CopyDirectoryFile(const std::string& source, const std::string& target,
                                 bool overwrite) {
    // A copy into the tree itself would never end.
    if (!IsDir(source) || !detail::IsPathText(target) || IsSameOrBelow(source, target)) return false;
    return CopyTree(source, target, overwrite);
}

std::vector<std::string> CDirUtil::GetChildFilePath(const std::string& path) {
    std::vector<std::string> names;
    if (!ListChildren(path, names)) names.clear();
    return names;
}

}  // namespace pyn

// Reading the entry names of a directory. Private to platform/posix.
#pragma once

#include <dirent.h>
#include <errno.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

namespace pyn {
namespace posix {

// The names in the directory `path`, without "." and "..", in the order the
// system gives them; false when it cannot be opened or a read fails. The
// directory stream is closed on every path, an exception included (a name
// that cannot be stored).
inline bool ReadDirNames(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(path.c_str()), &closedir);
    if (!dir) return false;
    errno = 0;
    while (struct dirent* entry = readdir(dir.get())) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) names.emplace_back(entry->d_name);
        errno = 0;
    }
    return errno == 0;
}

}  // namespace posix
}  // namespace pyn

#include "pyn/ToolUtil.h"

#include <limits.h>
#include <unistd.h>

#include "pyn/HostSettings.h"

namespace pyn {

std::string CToolUtil::GetApplicationDirPath() {
    std::string dir = CHostSettings::ApplicationDirOverride();
    if (!dir.empty()) return dir;
    static const std::string exeDir = [] {
        char buf[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
        if (n <= 0) return std::string(".");
        std::string path(buf, static_cast<size_t>(n));
        size_t slash = path.rfind('/');
        if (slash == std::string::npos) return std::string(".");
        return slash == 0 ? std::string("/") : path.substr(0, slash);
    }();
    return exeDir;
}

}  // namespace pyn

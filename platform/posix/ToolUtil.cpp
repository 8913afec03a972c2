#include "pyn/ToolUtil.h"
#include "pyn/NoDestructor.h"

#include <limits.h>
#include <string.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "pyn/HostSettings.h"
#include "pyn/RunBudget.h"

namespace pyn {

std::string CToolUtil::GetApplicationDirPath() {
    std::string dir = CHostSettings::ApplicationDirOverride();
    if (!dir.empty()) return dir;
    static const NoDestructor<std::string> exeDir([] {
        char buf[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
        if (n <= 0) return std::string(".");
        std::string path(buf, static_cast<size_t>(n));
        size_t slash = path.rfind('/');
        if (slash == std::string::npos) return std::string(".");
        return slash == 0 ? std::string("/") : path.substr(0, slash);
    }());
    return *exeDir;
}

bool CToolUtil::IsX64System() {
    struct utsname u;
    if (uname(&u) != 0) return sizeof(void*) == 8;
    // 64-bit machines name themselves "...64" (x86_64, aarch64, ppc64,
    // mips64, loongarch64, sparc64, riscv64), "...64le" or "s390x".
    const std::string machine = u.machine;
    auto endsWith = [&](const char* end) {
        size_t n = strlen(end);
        return machine.size() >= n && machine.compare(machine.size() - n, n, end) == 0;
    };
    return endsWith("64") || endsWith("64le") || machine == "s390x" || sizeof(void*) == 8;
}

// Within a script run, the sleep ends early at the run's deadline or on a
// stop (CRunBudget).
void CToolUtil::msleep(int64_t milliseconds) {
    if (milliseconds <= 0) return;
    CRunBudget::SleepFor(milliseconds);
}

}  // namespace pyn

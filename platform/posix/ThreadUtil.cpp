#include "pyn/ThreadUtil.h"

#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <mutex>

#include "common/ThreadPlatform.h"

namespace pyn {

// For the main program dlopen finds nothing to pin, which is fine: it is
// never unloaded anyway.
void PinOwnModule() {
    static std::once_flag once;
    std::call_once(once, [] {
        Dl_info info;
        if (dladdr(reinterpret_cast<void*>(&PinOwnModule), &info) == 0 || !info.dli_fname) return;
        // The handle is deliberately never closed.
        (void)dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
    });
}

std::vector<LockHolds>& ThreadLockHolds() {
    thread_local std::vector<LockHolds> perLock;
    return perLock;
}

uint32_t CThreadUtil::GetCurrentThreadId() {
    thread_local const uint32_t id = static_cast<uint32_t>(syscall(SYS_gettid));
    return id;
}

}  // namespace pyn

#include "pyn/ThreadUtil.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace pyn {

uint32_t CThreadUtil::GetCurrentThreadId() {
    thread_local const uint32_t id = static_cast<uint32_t>(syscall(SYS_gettid));
    return id;
}

}  // namespace pyn

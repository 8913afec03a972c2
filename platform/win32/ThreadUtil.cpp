#include <windows.h>

#include <mutex>

#include "common/ThreadPlatform.h"
#include "pyn/ThreadUtil.h"

namespace pyn {

void PinOwnModule() {
    static std::once_flag once;
    std::call_once(once, [] {
        HMODULE self = nullptr;
        // The pinned handle needs no release: the module stays until exit.
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(&PinOwnModule), &self);
    });
}

// Not a thread_local object: mingw-w64 frees a thread's emulated TLS before
// it runs the destructors of the thread's thread_local objects, so one that
// owns heap memory frees garbage at thread exit. A fiber-local slot's
// callback runs while the thread ends, on memory of its own.
namespace {
void WINAPI FreeLockHolds(void* holds) { delete static_cast<std::vector<LockHolds>*>(holds); }
}  // namespace

std::vector<LockHolds>& ThreadLockHolds() {
    static const DWORD slot = FlsAlloc(FreeLockHolds);
    auto* holds = static_cast<std::vector<LockHolds>*>(FlsGetValue(slot));
    if (!holds) {
        holds = new std::vector<LockHolds>();
        FlsSetValue(slot, holds);
    }
    return *holds;
}

uint32_t CThreadUtil::GetCurrentThreadId() { return static_cast<uint32_t>(::GetCurrentThreadId()); }

}  // namespace pyn

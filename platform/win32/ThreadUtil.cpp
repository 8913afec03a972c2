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

uint32_t CThreadUtil::GetCurrentThreadId() { return static_cast<uint32_t>(::GetCurrentThreadId()); }

// No call at thread end on Windows: a thread's worker stays until the
// shutdown, as a thread-local object's would. A fiber-local slot's callback
// runs in the ending thread while the process may be exiting, and closing a
// Lua state there (its finalizers run) hung or crashed the exit of a host
// whose threads were ending meanwhile (5 exits in 16 under Wine; none
// without the slot).
bool CThreadEndCall::Open() { return false; }

bool CThreadEndCall::Watch() { return false; }

void CThreadEndCall::Close() { m_open.store(false, std::memory_order_release); }

}  // namespace pyn

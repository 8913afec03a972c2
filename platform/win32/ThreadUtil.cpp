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

}  // namespace pyn

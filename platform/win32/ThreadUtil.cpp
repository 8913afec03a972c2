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

namespace {

// The slot's callback: the system calls it for a non-null value as the
// thread (or fiber) ends, and for every value left when the slot is freed,
// then on the freeing thread (Ended does nothing by then).
VOID WINAPI ThreadEndOfSlot(PVOID value) {
    if (value) static_cast<CThreadEndCall*>(value)->Ended();
}

}  // namespace

bool CThreadEndCall::Open() {
    const DWORD slot = FlsAlloc(&ThreadEndOfSlot);
    if (slot == FLS_OUT_OF_INDEXES) return false;
    m_slot = slot;
    m_open.store(true, std::memory_order_release);
    return true;
}

bool CThreadEndCall::Watch() {
    if (!m_open.load(std::memory_order_acquire)) return false;
    return FlsSetValue(static_cast<DWORD>(m_slot), this) != FALSE;
}

void CThreadEndCall::Close() {
    if (!m_open.exchange(false, std::memory_order_acq_rel)) return;
    FlsFree(static_cast<DWORD>(m_slot));
}

}  // namespace pyn

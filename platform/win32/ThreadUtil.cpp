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

// The slot lives as long as this module: freeing it at unload runs the
// callback for every thread's list, so no thread ends later into code that
// is gone.
struct LockHoldsSlot {
    DWORD index = FlsAlloc(FreeLockHolds);
    LockHoldsSlot() = default;
    LockHoldsSlot(const LockHoldsSlot&) = delete;
    LockHoldsSlot& operator=(const LockHoldsSlot&) = delete;
    ~LockHoldsSlot() {
        if (index != FLS_OUT_OF_INDEXES) FlsFree(index);
        index = FLS_OUT_OF_INDEXES;
    }
};

}  // namespace

std::vector<LockHolds>& ThreadLockHolds() {
    static LockHoldsSlot slot;
    // Without a slot (none left, or after unload began) each thread keeps
    // its list for good rather than losing track of its holds.
    thread_local std::vector<LockHolds>* unslotted = nullptr;
    if (slot.index == FLS_OUT_OF_INDEXES) {
        if (!unslotted) unslotted = new std::vector<LockHolds>();
        return *unslotted;
    }
    auto* holds = static_cast<std::vector<LockHolds>*>(FlsGetValue(slot.index));
    if (!holds) {
        holds = new std::vector<LockHolds>();
        if (!FlsSetValue(slot.index, holds)) {
            delete holds;
            if (!unslotted) unslotted = new std::vector<LockHolds>();
            return *unslotted;
        }
    }
    return *holds;
}

uint32_t CThreadUtil::GetCurrentThreadId() { return static_cast<uint32_t>(::GetCurrentThreadId()); }

}  // namespace pyn

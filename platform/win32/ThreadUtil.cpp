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

// Nothing runs at a thread's end here (see CThreadEndCall): marks hold a
// handle of their thread, and TakeEnded looks whether it has ended.
bool CThreadEndCall::Open() {
    m_open.store(true, std::memory_order_release);
    return true;
}

CThreadEndCall::Mark::~Mark() {
    if (m_thread) CloseHandle(static_cast<HANDLE>(m_thread));
}

CThreadEndCall::Mark* CThreadEndCall::Watch() {
    if (!m_open.load(std::memory_order_acquire)) return nullptr;
    HANDLE thread = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread, SYNCHRONIZE, FALSE,
                         0))
        return nullptr;
    Mark* mark = NewMark();
    if (!mark) {
        CloseHandle(thread);
        return nullptr;
    }
    mark->m_thread = thread;
    m_endedSince.store(true, std::memory_order_release);
    return mark;
}

bool CThreadEndCall::TakeEnded() {
    const long long now = static_cast<long long>(GetTickCount64());
    long long last = m_lastLookMs.load(std::memory_order_acquire);
    // Read first: every host call asks, and a write each time would pass the
    // flag's cache line between the calling threads.
    const bool watched =
        m_endedSince.load(std::memory_order_acquire) && m_endedSince.exchange(false, std::memory_order_acq_rel);
    if (!watched && now - last < kPollInterval.count()) return false;
    // One thread looks at a time; the others go on.
    if (!m_lastLookMs.compare_exchange_strong(last, now, std::memory_order_acq_rel)) {
        if (watched) m_endedSince.store(true, std::memory_order_release);
        return false;
    }
    bool ended = false;
    std::lock_guard<std::mutex> guard(m_marksMutex);
    for (Mark* mark : m_marks) {
        if (mark->Ended()) continue;
        if (WaitForSingleObject(static_cast<HANDLE>(mark->m_thread), 0) != WAIT_OBJECT_0) continue;
        mark->m_ended.store(true, std::memory_order_release);
        ended = true;
    }
    FreeEndedLocked();
    return ended;
}

void CThreadEndCall::Close() { m_open.store(false, std::memory_order_release); }

}  // namespace pyn

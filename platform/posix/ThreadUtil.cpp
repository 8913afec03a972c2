#include "pyn/ThreadUtil.h"

#include <dlfcn.h>
#include <pthread.h>
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

uint32_t CThreadUtil::GetCurrentThreadId() {
    thread_local const uint32_t id = static_cast<uint32_t>(syscall(SYS_gettid));
    return id;
}

namespace {

// The key's destructor: glibc runs it at thread exit for a non-null value,
// after the thread-local objects, and never once the key is deleted. A
// value set again meanwhile (the function watched the thread anew) gets it
// once more.
void ThreadEndOfKey(void* value) { CThreadEndCall::Ended(static_cast<CThreadEndCall::Mark*>(value), true); }

}  // namespace

bool CThreadEndCall::Open() {
    pthread_key_t key;
    if (pthread_key_create(&key, &ThreadEndOfKey) != 0) return false;
    m_slot = key;
    m_open.store(true, std::memory_order_release);
    return true;
}

CThreadEndCall::Mark* CThreadEndCall::Watch() {
    if (!m_open.load(std::memory_order_acquire)) return nullptr;
    Mark* mark = NewMark();
    if (!mark) return nullptr;
    if (pthread_setspecific(static_cast<pthread_key_t>(m_slot), mark) != 0) {
        Ended(mark, false);  // never watched: free to go
        Forget(mark);
        return nullptr;
    }
    return mark;
}

CThreadEndCall::Mark::~Mark() = default;

bool CThreadEndCall::TakeEnded() {
    // Read first: every host call asks, and a write each time would pass the
    // flag's cache line between the calling threads.
    return m_endedSince.load(std::memory_order_acquire) && m_endedSince.exchange(false, std::memory_order_acq_rel);
}

void CThreadEndCall::Close() {
    if (m_open.exchange(false, std::memory_order_acq_rel)) pthread_key_delete(static_cast<pthread_key_t>(m_slot));
}

}  // namespace pyn

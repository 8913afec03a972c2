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
// after the thread-local objects, and never once the key is deleted.
void ThreadEndOfKey(void* value) { static_cast<CThreadEndCall*>(value)->Ended(); }

}  // namespace

bool CThreadEndCall::Open() {
    pthread_key_t key;
    if (pthread_key_create(&key, &ThreadEndOfKey) != 0) return false;
    m_slot = key;
    m_open.store(true, std::memory_order_release);
    return true;
}

bool CThreadEndCall::Watch() {
    if (!m_open.load(std::memory_order_acquire)) return false;
    return pthread_setspecific(static_cast<pthread_key_t>(m_slot), this) == 0;
}

void CThreadEndCall::Close() {
    if (!m_open.exchange(false, std::memory_order_acq_rel)) return;
    pthread_key_delete(static_cast<pthread_key_t>(m_slot));
}

}  // namespace pyn

#include "pyn/ThreadUtil.h"

#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <system_error>

namespace pyn {
namespace {

// Marks the module holding this code as never to be unloaded (see the header).
// For the main program dlopen finds nothing to pin, which is fine: it is never
// unloaded anyway.
void PinOwnModule() {
    static std::once_flag once;
    std::call_once(once, [] {
        Dl_info info;
        if (dladdr(reinterpret_cast<void*>(&PinOwnModule), &info) == 0 || !info.dli_fname) return;
        // The handle is deliberately never closed.
        (void)dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
    });
}

}  // namespace

CThreadUtil::CThreadUtil() = default;

CThreadUtil::~CThreadUtil() {
    if (!m_thread.joinable()) return;
    if (m_thread.get_id() == std::this_thread::get_id())
        m_thread.detach();
    else
        m_thread.join();
}

bool CThreadUtil::startThread() {
    {
        std::lock_guard<std::mutex> guard(m_stateMutex);
        if (m_running) return false;
        m_running = true;
    }
    if (m_thread.joinable()) m_thread.join();  // an earlier run that has ended
    PinOwnModule();
    try {
        m_thread = std::thread(&CThreadUtil::Run, this);
    } catch (const std::system_error&) {
        std::lock_guard<std::mutex> guard(m_stateMutex);
        m_running = false;
        return false;
    }
    return true;
}

void CThreadUtil::Run() {
    ThreadFunction();
    // Notified under the mutex: a waiter that then destroys the object joins
    // this thread first, so nothing here is touched after it is gone.
    std::lock_guard<std::mutex> guard(m_stateMutex);
    m_running = false;
    m_ended.notify_all();
}

bool CThreadUtil::IsThreadRunning() const {
    std::lock_guard<std::mutex> guard(m_stateMutex);
    return m_running;
}

void CThreadUtil::waitThread() {
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

bool CThreadUtil::waitThreadFor(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_stateMutex);
    return m_ended.wait_for(lock, timeout, [this] { return !m_running; });
}

uint32_t CThreadUtil::GetCurrentThreadId() {
    thread_local const uint32_t id = static_cast<uint32_t>(syscall(SYS_gettid));
    return id;
}

}  // namespace pyn

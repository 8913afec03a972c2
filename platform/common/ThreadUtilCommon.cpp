// The std::thread part of CThreadUtil; the thread id and the module pin are
// per platform (ThreadUtil.cpp of each platform).
#include <system_error>

#include "pyn/ThreadUtil.h"
#include "ThreadPlatform.h"

namespace pyn {

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

}  // namespace pyn

// The std::thread part of CThreadUtil; the thread id is per platform.
#include "pyn/ThreadUtil.h"

#include <system_error>

namespace pyn {

CThreadUtil::CThreadUtil() = default;

CThreadUtil::~CThreadUtil() {
    // A derived object is already gone here, so its ThreadFunction must have
    // ended: derived classes wait for their thread in their own destructor.
    if (m_thread.joinable()) {
        if (m_thread.get_id() == std::this_thread::get_id())
            m_thread.detach();
        else
            m_thread.join();
    }
}

bool CThreadUtil::startThread() {
    if (m_running.load(std::memory_order_acquire)) return false;
    if (m_thread.joinable()) m_thread.join();  // an earlier run that has ended
    m_running.store(true, std::memory_order_release);
    try {
        m_thread = std::thread([this] {
            ThreadFunction();
            m_running.store(false, std::memory_order_release);
        });
    } catch (const std::system_error&) {
        m_running.store(false, std::memory_order_release);
        return false;
    }
    return true;
}

bool CThreadUtil::IsThreadRunning() const { return m_running.load(std::memory_order_acquire); }

void CThreadUtil::waitThread() {
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

}  // namespace pyn

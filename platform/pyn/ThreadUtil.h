// Thread base class of the pyn utility layer.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

namespace pyn {

class CThreadUtil {
public:
    CThreadUtil();
    virtual ~CThreadUtil();
    CThreadUtil(const CThreadUtil&) = delete;
    CThreadUtil& operator=(const CThreadUtil&) = delete;

    // Starts ThreadFunction on a new operating-system thread. False when a
    // thread of this object already runs or the system refuses a new one.
    bool startThread();
    // True from a successful startThread until ThreadFunction has returned.
    bool IsThreadRunning() const;
    // Blocks until the thread has ended (no-op when none was started, or when
    // called on the thread itself).
    void waitThread();

    // Id of the calling operating-system thread (gettid / GetCurrentThreadId).
    static uint32_t GetCurrentThreadId();

protected:
    virtual void ThreadFunction() = 0;

private:
    std::thread m_thread;
    std::atomic<bool> m_running{false};
};

}  // namespace pyn

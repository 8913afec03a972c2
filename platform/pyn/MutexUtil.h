// Mutex and scoped guard of the pyn utility layer.
#pragma once

#include <mutex>

namespace pyn {

class CMutexUtil {
public:
    void lock() { m_mutex.lock(); }
    void unlock() { m_mutex.unlock(); }
    bool try_lock() { return m_mutex.try_lock(); }

private:
    std::mutex m_mutex;
};

// Locks on construction, unlocks on destruction.
class CMutexLockUtil {
public:
    explicit CMutexLockUtil(CMutexUtil& mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~CMutexLockUtil() { m_mutex.unlock(); }
    CMutexLockUtil(const CMutexLockUtil&) = delete;
    CMutexLockUtil& operator=(const CMutexLockUtil&) = delete;

private:
    CMutexUtil& m_mutex;
};

}  // namespace pyn

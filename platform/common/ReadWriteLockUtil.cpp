#include "pyn/ReadWriteLockUtil.h"

#include <atomic>

#include "pyn/ThreadUtil.h"

namespace pyn {
namespace {

std::atomic<int64_t> g_unitMicros{1000000};

}  // namespace

void CReadWriteLockUtil::SetTimeUnitForTesting(std::chrono::microseconds unit) {
    g_unitMicros.store(unit.count() > 0 ? unit.count() : 1, std::memory_order_relaxed);
}

std::chrono::steady_clock::time_point CReadWriteLockUtil::Deadline(int timeout) const {
    int64_t units = timeout > 0 ? timeout : 0;
    return std::chrono::steady_clock::now() +
           std::chrono::microseconds(units * g_unitMicros.load(std::memory_order_relaxed));
}

bool CReadWriteLockUtil::tryReadLock(int timeout) {
    const uint32_t self = CThreadUtil::GetCurrentThreadId();
    std::unique_lock<std::mutex> lk(m_mutex);
    auto it = m_holds.find(self);
    if (it != m_holds.end() && !it->second.empty()) {
        it->second.push_back(kShared);  // re-entry: granted at once
        return true;
    }
    auto canEnter = [this] { return m_writer == 0 && m_waitingWriters == 0; };
    if (!canEnter() && !m_cond.wait_until(lk, Deadline(timeout), canEnter)) return false;
    ++m_sharedHolders;
    m_holds[self].push_back(kShared);
    return true;
}

bool CReadWriteLockUtil::tryWriteLock(int timeout) {
    const uint32_t self = CThreadUtil::GetCurrentThreadId();
    std::unique_lock<std::mutex> lk(m_mutex);
    auto it = m_holds.find(self);
    if (it != m_holds.end() && !it->second.empty()) {
        if (m_writer != self) return false;  // shared only: an upgrade could never be granted
        it->second.push_back(kExclusive);
        return true;
    }
    auto canEnter = [this] { return m_writer == 0 && m_sharedHolders == 0; };
    ++m_waitingWriters;
    bool got = canEnter() || m_cond.wait_until(lk, Deadline(timeout), canEnter);
    --m_waitingWriters;
    if (!got) {
        // Readers held back by this writer may enter now.
        if (m_waitingWriters == 0) m_cond.notify_all();
        return false;
    }
    m_writer = self;
    m_holds[self].push_back(kExclusive);
    return true;
}

void CReadWriteLockUtil::unlock() {
    const uint32_t self = CThreadUtil::GetCurrentThreadId();
    std::lock_guard<std::mutex> lk(m_mutex);
    auto it = m_holds.find(self);
    if (it == m_holds.end() || it->second.empty()) return;
    it->second.pop_back();
    if (!it->second.empty()) return;
    // The thread's last hold is gone. Its (empty) entry stays, so the next
    // run of this thread allocates nothing here.
    if (m_writer == self)
        m_writer = 0;
    else
        --m_sharedHolders;
    m_cond.notify_all();
}

}  // namespace pyn

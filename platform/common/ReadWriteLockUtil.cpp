#include "pyn/ReadWriteLockUtil.h"

#include <atomic>
#include <vector>

#include "common/ThreadPlatform.h"
#include "pyn/ThreadUtil.h"

namespace pyn {
namespace {

std::atomic<int64_t> g_unitMicros{1000000};

using Hold = LockHolds::Hold;
constexpr Hold kShared = LockHolds::kShared;
constexpr Hold kExclusive = LockHolds::kExclusive;

// The calling thread's holds on `lock`. Only the thread itself reads or
// changes its list, so no lock guards it.
std::vector<Hold>& HoldsOf(const void* lock) {
    std::vector<LockHolds>& perLock = ThreadLockHolds();
    for (LockHolds& entry : perLock)
        if (entry.lock == lock) return entry.holds;
    perLock.push_back(LockHolds{lock, {}});
    return perLock.back().holds;
}

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
    std::vector<Hold>& holds = HoldsOf(this);
    if (!holds.empty()) {
        holds.push_back(kShared);  // re-entry: granted at once
        return true;
    }
    std::unique_lock<std::mutex> lk(m_mutex);
    auto canEnter = [this] { return m_writer == 0 && m_waitingWriters == 0; };
    if (!canEnter() && !m_cond.wait_until(lk, Deadline(timeout), canEnter)) return false;
    ++m_sharedHolders;
    holds.push_back(kShared);
    return true;
}

bool CReadWriteLockUtil::tryWriteLock(int timeout) {
    const uint32_t self = CThreadUtil::GetCurrentThreadId();
    std::vector<Hold>& holds = HoldsOf(this);
    if (!holds.empty()) {
        // Held exclusively: granted again. Held shared only: an upgrade
        // could never be granted, so it fails at once.
        if (holds.front() != kExclusive) return false;
        holds.push_back(kExclusive);
        return true;
    }
    std::unique_lock<std::mutex> lk(m_mutex);
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
    holds.push_back(kExclusive);
    return true;
}

void CReadWriteLockUtil::unlock() {
    std::vector<Hold>& holds = HoldsOf(this);
    if (holds.empty()) return;
    const Hold released = holds.back();
    holds.pop_back();
    if (!holds.empty()) return;
    // The thread's last hold is gone; the first hold a thread takes decides
    // whether it is the writer.
    std::lock_guard<std::mutex> lk(m_mutex);
    if (released == kExclusive)
        m_writer = 0;
    else
        --m_sharedHolders;
    m_cond.notify_all();
}

}  // namespace pyn

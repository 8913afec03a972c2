#include "pyn/ReadWriteLockUtil.h"

#include "LockCore.h"

#include <atomic>

#include "pyn/ThreadUtil.h"

namespace pyn {
namespace {

std::atomic<int64_t> g_unitMicros{1000000};

enum Hold : char { kShared, kExclusive };

// The calling thread's holds on one lock: how many, and the kind of the
// first (a thread that first took the lock exclusively is its writer; later
// holds never change that). Only the thread itself reads or changes them.
struct LockHold {
    const void* lock;
    unsigned depth;
    Hold first;
};

// At most this many locks held by one thread at the same time.
constexpr int kMaxLocksPerThread = 8;

// Trivially destructible on purpose: a thread-local object with a
// destructor can, with some toolchains (mingw-w64), be destroyed after the
// thread's storage is gone. Slots with depth 0 are free.
struct ThreadHolds {
    LockHold slots[kMaxLocksPerThread];
};
thread_local ThreadHolds t_holds;

// The calling thread's holds on `lock`, or null when it holds none.
LockHold* HoldOf(const void* lock) {
    for (LockHold& h : t_holds.slots)
        if (h.depth != 0 && h.lock == lock) return &h;
    return nullptr;
}

LockHold* FreeSlot() {
    for (LockHold& h : t_holds.slots)
        if (h.depth == 0) return &h;
    return nullptr;
}

}  // namespace

namespace {

// Holds a LockCore for a scope.
class CoreGuard {
public:
    explicit CoreGuard(LockCore& core) : m_core(core) { m_core.lock(); }
    ~CoreGuard() { m_core.unlock(); }
    CoreGuard(const CoreGuard&) = delete;
    CoreGuard& operator=(const CoreGuard&) = delete;

private:
    LockCore& m_core;
};

}  // namespace

CReadWriteLockUtil::CReadWriteLockUtil() : m_core(new LockCore) {}
CReadWriteLockUtil::~CReadWriteLockUtil() = default;

template <class Pred>
bool CReadWriteLockUtil::WaitUntil(std::chrono::steady_clock::time_point deadline, Pred canEnter) {
    if (canEnter()) return true;
    ++m_waits;
    while (!canEnter()) {
        if (!m_core->wait_until(deadline)) {
            if (canEnter()) return true;
            ++m_timeouts;
            return false;
        }
    }
    return true;
}

void CReadWriteLockUtil::SetTimeUnitForTesting(std::chrono::microseconds unit) {
    g_unitMicros.store(unit.count() > 0 ? unit.count() : 1, std::memory_order_relaxed);
}

std::chrono::steady_clock::time_point CReadWriteLockUtil::Deadline(int timeout) const {
    int64_t units = timeout > 0 ? timeout : 0;
    return std::chrono::steady_clock::now() +
           std::chrono::microseconds(units * g_unitMicros.load(std::memory_order_relaxed));
}

bool CReadWriteLockUtil::tryReadLock(int timeout) { return ReadLock(timeout, false); }

bool CReadWriteLockUtil::tryReadLockAheadOfWriters(int timeout) { return ReadLock(timeout, true); }

bool CReadWriteLockUtil::ReadLock(int timeout, bool aheadOfWriters) {
    if (LockHold* held = HoldOf(this)) {
        ++held->depth;  // re-entry: granted at once
        return true;
    }
    LockHold* slot = FreeSlot();
    if (!slot) return false;
    CoreGuard guard(*m_core);
    auto canEnter = [this, aheadOfWriters] { return m_writer == 0 && (aheadOfWriters || m_waitingWriters == 0); };
    if (!WaitUntil(Deadline(timeout), canEnter)) return false;
    ++m_sharedHolders;
    *slot = LockHold{this, 1, kShared};
    return true;
}

bool CReadWriteLockUtil::tryWriteLock(int timeout) {
    const uint32_t self = CThreadUtil::GetCurrentThreadId();
    if (LockHold* held = HoldOf(this)) {
        // Held exclusively: granted again. Held shared only: an upgrade
        // could never be granted, so it fails at once.
        if (held->first != kExclusive) return false;
        ++held->depth;
        return true;
    }
    LockHold* slot = FreeSlot();
    if (!slot) return false;
    CoreGuard guard(*m_core);
    auto canEnter = [this] { return m_writer == 0 && m_sharedHolders == 0; };
    ++m_waitingWriters;
    bool got = WaitUntil(Deadline(timeout), canEnter);
    --m_waitingWriters;
    if (!got) {
        // Readers held back by this writer may enter now.
        if (m_waitingWriters == 0) m_core->notify_all();
        return false;
    }
    m_writer = self;
    *slot = LockHold{this, 1, kExclusive};
    return true;
}

CReadWriteLockUtil::Counters CReadWriteLockUtil::GetCounters() {
    CoreGuard guard(*m_core);
    return Counters{m_waits, m_timeouts};
}

int CReadWriteLockUtil::WaitingWritersForTesting() {
    CoreGuard guard(*m_core);
    return m_waitingWriters;
}

void CReadWriteLockUtil::unlock() {
    LockHold* held = HoldOf(this);
    if (!held || --held->depth != 0) return;
    // The thread's last hold is gone.
    CoreGuard guard(*m_core);
    if (held->first == kExclusive)
        m_writer = 0;
    else
        --m_sharedHolders;
    m_core->notify_all();
}

}  // namespace pyn

// Read-write lock of the pyn utility layer.
//
// - Time-outs are counted in seconds (tests shrink the unit with
//   SetTimeUnitForTesting).
// - A thread that already holds the lock, shared or exclusive, gets a further
//   shared hold at once. A thread that holds it exclusively also gets a further
//   exclusive hold at once; a thread that holds it only shared never gets an
//   exclusive hold (that could never be granted), so tryWriteLock fails at once.
// - Threads that hold nothing queue behind a waiting writer, so writers are
//   not starved by a stream of readers; tryReadLockAheadOfWriters is the one
//   way past a waiting writer (for a hold that another shared hold, which the
//   writer waits for anyway, depends on).
// - unlock releases the calling thread's latest hold; it does nothing when the
//   thread holds none.
// - One thread holds at most 8 different locks at the same time; a try for a
//   ninth fails at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

namespace pyn {

class LockCore;  // mutex and condition variable of the platform

class CReadWriteLockUtil {
public:
    CReadWriteLockUtil();
    ~CReadWriteLockUtil();
    CReadWriteLockUtil(const CReadWriteLockUtil&) = delete;
    CReadWriteLockUtil& operator=(const CReadWriteLockUtil&) = delete;

    bool tryReadLock(int timeout);
    // As tryReadLock, but not held back by writers that wait (only by one
    // that holds the lock).
    bool tryReadLockAheadOfWriters(int timeout);
    bool tryWriteLock(int timeout);
    void unlock();

    // Length of one time-out unit for every lock of the process; tests only.
    static void SetTimeUnitForTesting(std::chrono::microseconds unit);
    int WaitingWritersForTesting();

    // Tries that had to wait, and tries that timed out, since the lock was made.
    struct Counters {
        uint64_t waits;
        uint64_t timeouts;
    };
    Counters GetCounters();

private:
    std::chrono::steady_clock::time_point Deadline(int timeout) const;
    bool ReadLock(int timeout, bool aheadOfWriters);
    // Waits on the core (locked) until `canEnter` holds or the deadline passes.
    template <class Pred>
    bool WaitUntil(std::chrono::steady_clock::time_point deadline, Pred canEnter);

    std::unique_ptr<LockCore> m_core;  // guards the counters below
    int m_sharedHolders = 0;        // threads holding at least one shared hold, no exclusive
    uint32_t m_writer = 0;          // thread holding the lock exclusively, or 0
    int m_waitingWriters = 0;
    uint64_t m_waits = 0;
    uint64_t m_timeouts = 0;
    // Each thread's own holds, in the order taken, live in thread-local
    // storage (see the source): they vanish with the thread.
};

}  // namespace pyn

// Per-platform pieces of CThreadUtil (platform/*/ThreadUtil.cpp).
#pragma once

#include <vector>

namespace pyn {

// One thread's holds on one read-write lock (ReadWriteLockUtil.cpp).
struct LockHolds {
    enum Hold : char { kShared, kExclusive };
    const void* lock;
    std::vector<Hold> holds;
};

// The calling thread's list of lock holds: made on first use, freed when
// the thread ends, so threads that come and go leave nothing behind. Only
// the thread itself reads or changes it.
std::vector<LockHolds>& ThreadLockHolds();

// Marks the module holding this code (the library) as never to be unloaded,
// once per process: a thread it started may outlive an unload request, and
// its code must stay mapped under it.
void PinOwnModule();

}  // namespace pyn

// The mutex and condition variable under CReadWriteLockUtil: the standard
// library's on POSIX, SRWLOCK and CONDITION_VARIABLE on Windows
// (platform/*/LockCore.cpp). The lock's rules live in ReadWriteLockUtil.cpp,
// once for both.
#pragma once

#include <chrono>
#include <memory>

namespace pyn {

class LockCore {
public:
    LockCore();
    ~LockCore();
    LockCore(const LockCore&) = delete;
    LockCore& operator=(const LockCore&) = delete;

    void lock();
    void unlock();
    // With the core locked: releases it, waits until notified or until
    // `deadline`, locks it again. False when the deadline passed.
    bool wait_until(std::chrono::steady_clock::time_point deadline);
    void notify_all();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace pyn

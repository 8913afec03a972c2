#include <windows.h>

#include "common/LockCore.h"

namespace pyn {

struct LockCore::Impl {
    SRWLOCK srw = SRWLOCK_INIT;
    CONDITION_VARIABLE cond = CONDITION_VARIABLE_INIT;
};

LockCore::LockCore() : m_impl(new Impl) {}
LockCore::~LockCore() = default;

void LockCore::lock() { AcquireSRWLockExclusive(&m_impl->srw); }
void LockCore::unlock() { ReleaseSRWLockExclusive(&m_impl->srw); }

bool LockCore::wait_until(std::chrono::steady_clock::time_point deadline) {
    const auto now = std::chrono::steady_clock::now();
    if (deadline <= now) return false;
    // Rounded up, so a wake-up just before the deadline does not report a
    // time-out early; capped below INFINITE.
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    const DWORD ms = left >= static_cast<long long>(INFINITE) ? INFINITE - 1 : static_cast<DWORD>(left);
    if (SleepConditionVariableSRW(&m_impl->cond, &m_impl->srw, ms, 0)) return true;
    return GetLastError() != ERROR_TIMEOUT;
}

void LockCore::notify_all() { WakeAllConditionVariable(&m_impl->cond); }

}  // namespace pyn

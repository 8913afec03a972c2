#include "common/LockCore.h"

#include <condition_variable>
#include <mutex>

namespace pyn {

struct LockCore::Impl {
    std::mutex mutex;
    std::condition_variable cond;
};

LockCore::LockCore() : m_impl(new Impl) {}
LockCore::~LockCore() = default;

void LockCore::lock() { m_impl->mutex.lock(); }
void LockCore::unlock() { m_impl->mutex.unlock(); }

bool LockCore::wait_until(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> held(m_impl->mutex, std::adopt_lock);
    const bool notified = m_impl->cond.wait_until(held, deadline) == std::cv_status::no_timeout;
    held.release();  // the caller keeps the lock
    return notified;
}

void LockCore::notify_all() { m_impl->cond.notify_all(); }

}  // namespace pyn

#include "pyn/RunBudget.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "pyn/NoDestructor.h"

namespace pyn {
namespace {

using Clock = CRunBudget::Clock;

// Counts the host's stop requests; a run is stopped when the count moved
// since it began.
std::atomic<uint64_t> g_stops{0};

// Sleepers wait here for the deadline or the next stop request.
struct Waker {
    std::mutex mutex;
    std::condition_variable stopped;
};

Waker& TheWaker() {
    static NoDestructor<Waker> waker;
    return *waker;
}

// The calling thread's run (trivially destructible).
struct ThreadRun {
    bool active;
    uint64_t stopsAtStart;
    Clock::time_point deadline;
};
thread_local ThreadRun t_run = {false, 0, Clock::time_point::max()};

}  // namespace

CRunBudget::Scope::Scope(Clock::time_point deadline) : m_outer(!t_run.active) {
    if (!m_outer) return;
    t_run.active = true;
    t_run.stopsAtStart = g_stops.load(std::memory_order_acquire);
    t_run.deadline = deadline;
}

CRunBudget::Scope::~Scope() {
    if (!m_outer) return;
    t_run.active = false;
    t_run.deadline = Clock::time_point::max();
}

void CRunBudget::StopAll() {
    Waker& waker = TheWaker();
    {
        std::lock_guard<std::mutex> hold(waker.mutex);
        g_stops.fetch_add(1, std::memory_order_acq_rel);
    }
    waker.stopped.notify_all();
}

bool CRunBudget::Stopped() {
    return t_run.active && g_stops.load(std::memory_order_acquire) != t_run.stopsAtStart;
}

bool CRunBudget::TimedOut() {
    return t_run.active && t_run.deadline != Clock::time_point::max() && Clock::now() >= t_run.deadline;
}

bool CRunBudget::InRun() { return t_run.active; }

bool CRunBudget::HasDeadline() { return t_run.active && t_run.deadline != Clock::time_point::max(); }

int64_t CRunBudget::RemainingMs() {
    if (!HasDeadline()) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t_run.deadline - Clock::now()).count();
    return left > 0 ? left : 0;
}

int CRunBudget::CutTimeoutMs(int timeoutMs) {
    int64_t left = RemainingMs();
    if (left < 0) return timeoutMs;
    if (left < 1) left = 1;
    if (timeoutMs > 0 && timeoutMs <= left) return timeoutMs;
    return left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
}

bool CRunBudget::SleepFor(int64_t ms) {
    if (ms < 0) ms = 0;
    auto until = Clock::now() + std::chrono::milliseconds(ms);
    bool cut = false;
    if (t_run.active && t_run.deadline < until) {
        until = t_run.deadline;
        cut = true;
    }
    Waker& waker = TheWaker();
    std::unique_lock<std::mutex> hold(waker.mutex);
    const bool stopped = waker.stopped.wait_until(hold, until, [] { return Stopped(); });
    return !(stopped || cut);
}

}  // namespace pyn

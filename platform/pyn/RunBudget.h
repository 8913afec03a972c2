// What bounds the script run in progress on the calling thread: a deadline
// and the host's stop request. The engine opens a scope for the length of a
// run; blocking operations (sleeps, the waits for a command, HTTP
// transfers, the wait for a busy database) wait no longer than the run may
// still take and end early on a stop. A thread outside any run has no
// bounds: operations wait as asked.
#pragma once

#include <chrono>
#include <cstdint>

namespace pyn {

class CRunBudget {
public:
    using Clock = std::chrono::steady_clock;

    // For the length of one run on the calling thread. `deadline` is
    // Clock::time_point::max() for a run without a time limit. Runs do not
    // nest: an inner scope (a run started from inside a run) keeps the
    // outer run's bounds.
    class Scope {
    public:
        explicit Scope(Clock::time_point deadline);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        bool m_outer;
    };

    // Every run in progress ends (at once where it waits, else at its next
    // check); runs that start afterwards are not affected.
    static void StopAll();

    // The calling thread's run was stopped / is past its deadline.
    static bool Stopped();
    static bool TimedOut();
    static bool Expired() { return Stopped() || TimedOut(); }
    // Whether the calling thread is inside a run, and whether that run has a
    // deadline.
    static bool InRun();
    static bool HasDeadline();

    // Milliseconds the run has left (0 once past), or -1 without a deadline
    // (or outside a run).
    static int64_t RemainingMs();
    // A time-out of `timeoutMs` (0 or less: no limit of its own) cut to what
    // the run has left; a run past its deadline gives 1, never 0 (which would
    // mean no limit).
    static int CutTimeoutMs(int timeoutMs);
    // Sleeps `ms`, less when the run's deadline comes first or a stop is
    // requested meanwhile; false when it was cut short so.
    static bool SleepFor(int64_t ms);
};

}  // namespace pyn

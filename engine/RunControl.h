// The bounds of a script run: the host's time limit, its stop request, the
// state's memory limit, and for script threads the engine's own stop at
// exit.
//
// A run (ExecLua, LockExecLua, GetVarInt, GetVarMap, a script thread's run;
// module loads inside them belong to their run) is checked every
// kCheckInstructions Lua instructions by a count hook, and at every script
// function call; blocking script functions wait no longer than the run may
// still take (pyn::CRunBudget). A run that must end gets an error that it
// cannot keep: once raised, it is raised again at every instruction until
// the run has unwound, and the run's outcome is false with the reason as its
// result, whatever the script caught on the way.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "pyn/RunBudget.h"

extern "C" {
#include <lua.h>
}

namespace orvex {

class CLuaStateAllocator;

extern const char kTimeLimitExceeded[];  // "script time limit exceeded"
extern const char kScriptStopped[];      // "script stopped"
extern const char kNotEnoughMemory[];    // "not enough memory"

class CRunControl {
public:
    static constexpr int kCheckInstructions = 1000;

    // Host settings; 0 means no limit (the default).
    static void SetRunTimeLimit(unsigned milliseconds);
    static void SetScriptThreadTimeLimit(unsigned milliseconds);
    static void SetStateMemoryLimit(size_t bytes);
    static unsigned RunTimeLimit() { return s_runTimeLimit.load(std::memory_order_relaxed); }
    static unsigned ScriptThreadTimeLimit() { return s_threadTimeLimit.load(std::memory_order_relaxed); }
    static size_t StateMemoryLimit() { return s_memoryLimit.load(std::memory_order_relaxed); }
    // Ends every run in progress (and every script thread's) at its next
    // check; runs that start afterwards run normally.
    static void StopAll();

    // One top-level run in the state `L` (a worker's main state), whose
    // memory comes from `allocator`. A run started inside a run (a module
    // load) is part of the outer one.
    class Run {
    public:
        Run(lua_State* L, CLuaStateAllocator& allocator);
        ~Run();
        Run(const Run&) = delete;
        Run& operator=(const Run&) = delete;
        bool outer() const { return m_outer; }

    private:
        bool m_outer;
        // The state's hook before the run, back afterwards.
        lua_State* m_state;
        lua_Hook m_hook;
        int m_mask;
        int m_count;
        pyn::CRunBudget::Scope m_budget;
    };

    // Whether the calling thread is in a run with a time or memory limit.
    static bool LimitsApply();

    // Why the calling thread's run must end now, or null.
    static const char* Interruption();
    // Why the calling thread's current or last run was ended, or null.
    static const char* EndedBecause();
    // As EndedBecause, but first takes an Interruption() that is due now as
    // the run's end (a memory limit hit by an error that unwound the run
    // before any check saw it).
    static const char* Verdict();
    // Ends the calling thread's run with `reason` (a static text): raises it
    // in `L` now, and again at every instruction until the run has unwound.
    // Nothing with a destructor may be alive in the calling frames.
    [[noreturn]] static void Raise(lua_State* L, const char* reason);

    // A further check for every run of the calling thread: gives a reason to
    // end it, or null; it may also never return (a thread parked for good).
    // Script threads use it for the engine's stop at exit.
    using ThreadCheck = const char* (*)();
    static void SetThreadCheck(ThreadCheck check);

private:
    static std::atomic<unsigned> s_runTimeLimit;
    static std::atomic<unsigned> s_threadTimeLimit;
    static std::atomic<size_t> s_memoryLimit;
};

}  // namespace orvex

#include "RunControl.h"

extern "C" {
#include <lua.h>
}

#include <cstdlib>

#include "LuaStateAllocator.h"
#include "pyn/RunBudget.h"

namespace orvex {

const char kTimeLimitExceeded[] = "script time limit exceeded";
const char kScriptStopped[] = "script stopped";
const char kNotEnoughMemory[] = "not enough memory";

std::atomic<unsigned> CRunControl::s_runTimeLimit{0};
std::atomic<unsigned> CRunControl::s_threadTimeLimit{0};
std::atomic<size_t> CRunControl::s_memoryLimit{0};

namespace {

// The calling thread's run (trivially destructible: thread-local objects
// with destructors pin the library and complicate its unload).
struct ThreadRun {
    bool active;
    lua_State* main;
    CLuaStateAllocator* allocator;
    const char* ended;  // why the current or last run was ended
    CRunControl::ThreadCheck check;
};
thread_local ThreadRun t_run = {false, nullptr, nullptr, nullptr, nullptr};

// The count hook of a run's states (coroutines made during a run inherit
// it, and keep it).
void CheckHook(lua_State* L, lua_Debug*) {
    if (const char* reason = CRunControl::Interruption()) CRunControl::Raise(L, reason);
    // A coroutine left checking at every instruction by an ended run goes
    // back to the usual pace.
    if (lua_gethookcount(L) != CRunControl::kCheckInstructions)
        lua_sethook(L, &CheckHook, LUA_MASKCOUNT, CRunControl::kCheckInstructions);
}

pyn::CRunBudget::Clock::time_point DeadlineOfNewRun() {
    if (t_run.active) return pyn::CRunBudget::Clock::time_point::max();  // part of the outer run
    const unsigned limit = t_run.check ? CRunControl::ScriptThreadTimeLimit() : CRunControl::RunTimeLimit();
    if (limit == 0) return pyn::CRunBudget::Clock::time_point::max();
    return pyn::CRunBudget::Clock::now() + std::chrono::milliseconds(limit);
}

}  // namespace

CRunControl::Run::Run(lua_State* L, CLuaStateAllocator& allocator)
    : m_outer(!t_run.active),
      m_state(L),
      m_hook(L ? lua_gethook(L) : nullptr),
      m_mask(L ? lua_gethookmask(L) : 0),
      m_count(L ? lua_gethookcount(L) : 0),
      m_budget(DeadlineOfNewRun()) {
    if (!m_outer) return;
    t_run.active = true;
    t_run.main = L;
    t_run.allocator = &allocator;
    t_run.ended = nullptr;
    const size_t memoryLimit = StateMemoryLimit();
    allocator.SetRunLimit(memoryLimit);
    allocator.ClearLimitHit();
    if (!L) return;
    // A hook of the script's own (debug.sethook in an earlier run) stays,
    // unless a limit needs the checks; then it is back after the run.
    const bool limited = pyn::CRunBudget::HasDeadline() || memoryLimit != 0;
    if (!m_hook || m_hook == &CheckHook || limited) lua_sethook(L, &CheckHook, LUA_MASKCOUNT, kCheckInstructions);
}

CRunControl::Run::~Run() {
    if (!m_outer) return;
    if (m_state && lua_gethook(m_state) == &CheckHook) {
        if (m_hook && m_hook != &CheckHook)
            lua_sethook(m_state, m_hook, m_mask, m_count);
        else
            lua_sethook(m_state, nullptr, 0, 0);
    }
    t_run.active = false;
    t_run.main = nullptr;
    t_run.allocator = nullptr;
}

void CRunControl::SetRunTimeLimit(unsigned milliseconds) { s_runTimeLimit.store(milliseconds); }
void CRunControl::SetScriptThreadTimeLimit(unsigned milliseconds) { s_threadTimeLimit.store(milliseconds); }
void CRunControl::SetStateMemoryLimit(size_t bytes) { s_memoryLimit.store(bytes); }
void CRunControl::StopAll() { pyn::CRunBudget::StopAll(); }

const char* CRunControl::Interruption() {
    if (!t_run.active) return nullptr;
    if (t_run.ended) return t_run.ended;
    if (t_run.check)
        if (const char* reason = t_run.check()) return reason;
    if (pyn::CRunBudget::Stopped()) return kScriptStopped;
    if (pyn::CRunBudget::TimedOut()) return kTimeLimitExceeded;
    if (t_run.allocator && t_run.allocator->LimitHit()) return kNotEnoughMemory;
    return nullptr;
}

bool CRunControl::LimitsApply() {
    return t_run.active && (pyn::CRunBudget::HasDeadline() || (t_run.allocator && t_run.allocator->Limit() != 0));
}

const char* CRunControl::EndedBecause() { return t_run.ended; }

const char* CRunControl::Verdict() {
    if (!t_run.ended) t_run.ended = Interruption();
    return t_run.ended;
}

void CRunControl::Raise(lua_State* L, const char* reason) {
    t_run.ended = reason;
    // From now on at every instruction, of this coroutine and of the run's
    // main state: a pcall that catches the error returns to code that gets
    // it again at once.
    lua_sethook(L, &CheckHook, LUA_MASKCOUNT, 1);
    if (t_run.main && t_run.main != L) lua_sethook(t_run.main, &CheckHook, LUA_MASKCOUNT, 1);
    lua_pushstring(L, reason);
    lua_error(L);
    std::abort();  // not reached: lua_error does not return
}

void CRunControl::SetThreadCheck(ThreadCheck check) { t_run.check = check; }

}  // namespace orvex

// orvexThread script library: CScriptThreadManager and CScriptThreadRunner.
#include "ScriptThreads.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <utility>

#include "EngineLifetime.h"
#include "LibraryTables.h"
#include "LuaEngineManager.h"
#include "ScriptBinding.h"
#include "pyn/LogMessage.h"

namespace orvex {
namespace {

const char kExecFail[] = "ThreadFunction ExecLua Fail : ";
const char kStopped[] = "script thread stopped";

// How often (in Lua instructions) a script thread looks at the stop mode.
constexpr int kStopCheckInstructions = 500;

enum StopMode : int { kRun, kStop, kPark };
std::atomic<int> g_stopMode{kRun};

// The runner whose ThreadFunction runs on this thread, if any, and the main
// Lua state of its worker.
thread_local const CScriptThreadRunner* t_currentRunner = nullptr;
thread_local lua_State* t_runnerState = nullptr;

// Count hook of every script thread's Lua state (coroutines inherit it).
// Nothing with a destructor is alive here when the error is raised.
void StopHook(lua_State* L, lua_Debug*) {
    const int mode = g_stopMode.load(std::memory_order_acquire);
    if (mode == kRun) return;
    if (mode == kPark) {
        // The engine has shut down and this thread outlived the wait: it must
        // not go on. The end of the process ends it.
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
    // From now on at every instruction, of this coroutine and of the main
    // state: a pcall that catches the error returns to code that gets it
    // again at once, until the run has unwound.
    lua_sethook(L, &StopHook, LUA_MASKCOUNT, 1);
    if (t_runnerState && t_runnerState != L) lua_sethook(t_runnerState, &StopHook, LUA_MASKCOUNT, 1);
    CLuaWorker::RaiseInterruption(L, kStopped);
}

}  // namespace

CScriptThreadRunner::CScriptThreadRunner(std::string name, std::string scriptPath, std::vector<std::string> args,
                                         RunToken creator)
    : m_name(std::move(name)),
      m_scriptPath(std::move(scriptPath)),
      m_args(std::move(args)),
      m_creator(std::move(creator)) {}

CScriptThreadRunner::~CScriptThreadRunner() { waitThread(); }

void CScriptThreadRunner::ThreadFunction() {
    t_currentRunner = this;
    try {
        std::string result;
        bool ok = false;
        {
            CEngineLifetime::Entry entry;
            if (!entry) {
                result = kStopped;  // the engine is shutting down
            } else {
                CLuaEngineManager& engine = entry.manager();
                {
                    // The run below uses this same worker.
                    std::shared_ptr<CLuaWorker> worker = engine.GetThreadWorker();
                    t_runnerState = worker->EnsureState() ? worker->State() : nullptr;
                    if (t_runnerState)
                        lua_sethook(t_runnerState, &StopHook, LUA_MASKCOUNT, kStopCheckInstructions);
                }
                if (g_stopMode.load(std::memory_order_acquire) != kRun)
                    result = kStopped;
                else
                    ok = engine.ExecLuaFor(m_creator, m_scriptPath, result, m_args, true);
                // A script thread's worker is not kept: every thread ever
                // started would otherwise leave a Lua state behind.
                t_runnerState = nullptr;
                engine.ReleaseThreadWorker();
            }
        }
        if (!ok) pyn::CLogMessage::GetInstance()->WriteLogMessage(kExecFail + result, pyn::PynLogError);
    } catch (...) {
        // Nothing may leave a thread; the engine itself does not throw.
    }
    t_currentRunner = nullptr;
}

CScriptThreadManager& CScriptThreadManager::Instance() { return CEngineLifetime::ScriptThreads(); }

bool CScriptThreadManager::CreateScriptThread(const std::string& name, const std::string& scriptPath,
                                              const std::vector<std::string>& args, RunToken creator) {
    pyn::CMutexLockUtil guard(m_mutex);
    if (m_closed) return false;
    auto it = m_runners.find(name);
    if (it != m_runners.end() && it->second->IsThreadRunning()) return false;
    // Runners whose thread has ended go now (the name is free again either
    // way): an ended thread that is not joined keeps its stack, and an agent
    // that starts threads under new names would gather them without end.
    // Their threads are past ThreadFunction, so joining them is immediate.
    for (auto ended = m_runners.begin(); ended != m_runners.end();) {
        if (ended->second->IsThreadRunning())
            ++ended;
        else
            ended = m_runners.erase(ended);
    }
    auto runner = std::make_shared<CScriptThreadRunner>(name, scriptPath, args, std::move(creator));
    if (!runner->Start()) return false;
    m_runners.emplace(name, std::move(runner));
    return true;
}

bool CScriptThreadManager::IsScriptThreadRunning(const std::string& name) {
    pyn::CMutexLockUtil guard(m_mutex);
    auto it = m_runners.find(name);
    return it != m_runners.end() && it->second->IsThreadRunning();
}

size_t CScriptThreadManager::RunnerCountForTesting() {
    pyn::CMutexLockUtil guard(m_mutex);
    return m_runners.size();
}

bool CScriptThreadManager::StopAll(std::chrono::steady_clock::time_point deadline) {
    std::vector<std::shared_ptr<CScriptThreadRunner>> running;
    {
        // Not held while waiting: stopping scripts may still ask about threads.
        pyn::CMutexLockUtil guard(m_mutex);
        m_closed = true;
        for (const auto& entry : m_runners)
            if (entry.second->IsThreadRunning()) running.push_back(entry.second);
    }
    if (running.empty()) return true;
    g_stopMode.store(kStop, std::memory_order_release);
    bool allEnded = true;
    for (const auto& runner : running) {
        if (runner.get() == t_currentRunner) {
            allEnded = false;  // a script thread is ending the process: it stays inside until the end
            continue;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (!runner->waitThreadFor(std::max(left, std::chrono::milliseconds(0)))) allEnded = false;
    }
    return allEnded;
}

bool CScriptThreadManager::AnyRunning() {
    pyn::CMutexLockUtil guard(m_mutex);
    for (const auto& entry : m_runners)
        if (entry.second->IsThreadRunning()) return true;
    return false;
}

void CScriptThreadManager::Park() { g_stopMode.store(kPark, std::memory_order_release); }

namespace {

// CreateThreadWithScript(name, scriptPath, ...): true when a new thread
// running scriptPath's orvexScriptMain(...) was started.
int CreateThreadWithScript(lua_State* L) {
    CheckMinArgCount(L, 2);
    std::string name = GetStringArg(L, 1);
    std::string scriptPath = GetStringArg(L, 2);
    RequireNonEmpty(name);
    RequireNonEmpty(scriptPath);
    const int top = lua_gettop(L);
    std::vector<std::string> args;
    args.reserve(static_cast<size_t>(top - 2));
    for (int i = 3; i <= top; ++i) args.push_back(GetStringArg(L, i));
    CScriptThreadManager& threads = CScriptThreadManager::Instance();
    PushBool(L, threads.CreateScriptThread(name, scriptPath, args, CLuaEngineManager::Instance().CurrentRunToken()));
    return 1;
}

// IsThreadRunning(name): true while the thread of that name runs.
int IsThreadRunning(lua_State* L) {
    CheckArgCount(L, 1);
    std::string name = RequireStringArg(L, 1);
    PushBool(L, CScriptThreadManager::Instance().IsScriptThreadRunning(name));
    return 1;
}

}  // namespace

const luaL_Reg kOrvexThreadLib[] = {
    ORVEX_SCRIPT_FN("CreateThreadWithScript", CreateThreadWithScript),
    ORVEX_SCRIPT_FN("IsThreadRunning", IsThreadRunning),
    {nullptr, nullptr},
};

}  // namespace orvex

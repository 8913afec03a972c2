// Script threads (orvexThread): named threads that each run one encoded
// script through the engine, in a worker and Lua state of their own.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "LuaEngineManager.h"
#include "pyn/MutexUtil.h"
#include "pyn/ThreadUtil.h"

namespace orvex {

// Runs the script's orvexScriptMain with the arguments once, on its own
// thread. A failed run is logged ("ThreadFunction ExecLua Fail : " and the
// result text); when the run is over the thread's worker is dropped and its
// Lua state closed, on that thread.
class CScriptThreadRunner : public pyn::CThreadUtil {
public:
    CScriptThreadRunner(std::string name, std::string scriptPath, std::vector<std::string> args, RunToken creator);
    ~CScriptThreadRunner() override;

    bool Start() { return startThread(); }

protected:
    void ThreadFunction() override;

private:
    std::string m_name;
    std::string m_scriptPath;
    std::vector<std::string> m_args;
    RunToken m_creator;  // the run that started this thread
};

// The process-wide set of script threads, one runner per name. A runner
// whose thread has ended is dropped at the next CreateScriptThread.
//
// At shutdown (CEngineLifetime) script threads are asked to stop: at their
// next check (every few hundred Lua instructions) the script gets the error
// "script thread stopped", and again at every instruction until its run has
// unwound, so a script that catches it with pcall still ends. A thread still
// running when the shutdown stops waiting (blocked in a native call) is left
// running; it is parked at its next check until the process ends.
class CScriptThreadManager {
public:
    static CScriptThreadManager& Instance();

    // False when a thread of that name still runs, the thread cannot be
    // started, or the engine is shutting down. `creator` is the run of the
    // script that asks (empty when none).
    bool CreateScriptThread(const std::string& name, const std::string& scriptPath,
                            const std::vector<std::string>& args, RunToken creator = RunToken());
    bool IsScriptThreadRunning(const std::string& name);

    struct Counters {
        uint64_t running;
        uint64_t started;
        uint64_t endedWithError;  // runs that failed (logged)
    };
    Counters GetCounters();
    // A runner's run failed.
    void CountFailure() { m_failed.fetch_add(1, std::memory_order_relaxed); }

    size_t RunnerCountForTesting();

private:
    friend class CEngineLifetime;
    CScriptThreadManager() = default;
    ~CScriptThreadManager() = default;
    // Refuses new threads and stops every running one; true when all ended
    // before `deadline`.
    bool StopAll(std::chrono::steady_clock::time_point deadline);
    // True while some script thread runs.
    bool AnyRunning();
    // Threads that outlived StopAll stay at their next check for good.
    void Park();

    pyn::CMutexUtil m_mutex;
    std::map<std::string, std::shared_ptr<CScriptThreadRunner>> m_runners;
    bool m_closed = false;
    uint64_t m_started = 0;  // under m_mutex
    std::atomic<uint64_t> m_failed{0};
};

}  // namespace orvex

// Script threads (orvexThread): named threads that each run one encoded
// script through the engine, in a worker and Lua state of their own.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pyn/MutexUtil.h"
#include "pyn/ThreadUtil.h"

namespace orvex {

// Runs the script's orvexScriptMain with the arguments once, on its own
// thread. A failed run is logged ("ThreadFunction ExecLua Fail : " and the
// result text); when the run is over the thread's worker is dropped and its
// Lua state closed, on that thread.
class CScriptThreadRunner : public pyn::CThreadUtil {
public:
    CScriptThreadRunner(std::string name, std::string scriptPath, std::vector<std::string> args);
    ~CScriptThreadRunner() override;

    bool Start() { return startThread(); }

protected:
    void ThreadFunction() override;

private:
    std::string m_name;
    std::string m_scriptPath;
    std::vector<std::string> m_args;
};

// The process-wide set of script threads, one runner per name. A runner
// whose thread has ended is dropped at the next CreateScriptThread.
//
// At process exit (or library unload) script threads are asked to stop: at
// their next check (every few hundred Lua instructions) the script is ended
// with the error "script thread stopped". The manager waits for them a
// bounded time. A thread still running after that (blocked in a native
// call) is left running: the manager, its runner and the engine manager are
// then kept alive instead of being freed under it, and the thread is parked
// at its next check until the process ends.
class CScriptThreadManager {
public:
    static CScriptThreadManager& Instance();

    // False when a thread of that name still runs, the thread cannot be
    // started, or the process is shutting down.
    bool CreateScriptThread(const std::string& name, const std::string& scriptPath,
                            const std::vector<std::string>& args);
    bool IsScriptThreadRunning(const std::string& name);

    size_t RunnerCountForTesting();

    static constexpr std::chrono::milliseconds kDefaultExitWait{3000};
    static void SetExitWaitForTesting(std::chrono::milliseconds wait);

private:
    struct Holder;
    CScriptThreadManager() = default;
    ~CScriptThreadManager() = default;
    // Stops every running script thread; true when all ended within `wait`.
    bool StopAll(std::chrono::milliseconds wait);

    pyn::CMutexUtil m_mutex;
    std::map<std::string, std::shared_ptr<CScriptThreadRunner>> m_runners;
    bool m_closed = false;
};

}  // namespace orvex

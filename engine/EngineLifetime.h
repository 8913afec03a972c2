// The engine's process-wide objects and their one ordered shutdown.
//
// The engine manager (the engine lock, the source cache and every thread's
// Lua state) and the script-thread manager are built together on first use
// and shut down together, once, at process exit or library unload:
//
// 1. New host calls are refused from then on (ExecLua gives false with
//    "engine closed"); new script threads are not started.
// 2. Running script threads are asked to stop and are waited for, and so
//    are host calls still inside the engine, for a bounded time.
// 3. When nothing is inside any more, every Lua state is closed. Its
//    scripts' finalizers run then, while everything a script function can
//    reach is still there: the process-wide services (HTTP client, plug-in
//    cache, logger, settings, process object) are never destroyed, and the
//    engine's own objects go only after the last state is closed.
// 4. When something is still inside (a thread blocked in a native call, or
//    exit called from inside a script), nothing is freed under it: the
//    states and managers are kept, and script functions called from then on
//    give their failure result without touching any service.
//
// A thread that ends while the engine is open takes its worker and Lua state
// with it (see WatchThreadEnd): on POSIX on the thread as it ends; on
// Windows, where nothing safe can be done as a thread ends, at a later host
// call of any thread, which closes the states of the threads found ended
// (see pyn::CThreadEndCall). After the shutdown nothing is done at thread
// end any more.
//
// Script functions check IsClosed() and refuse once step 4 or the end of
// step 3 is reached.
#pragma once

#include <atomic>
#include <chrono>

#include "pyn/ThreadUtil.h"

namespace orvex {

class CLuaEngineManager;
class CScriptThreadManager;

class CEngineLifetime {
public:
    // One host call or script-thread run inside the engine, for its length.
    // Empty (false) once the engine shuts down: the call must not go on.
    class Entry {
    public:
        Entry();
        ~Entry();
        Entry(const Entry&) = delete;
        Entry& operator=(const Entry&) = delete;
        explicit operator bool() const { return m_manager != nullptr; }
        CLuaEngineManager& manager() const { return *m_manager; }

    private:
        CLuaEngineManager* m_manager;
    };

    // The managers, built on first use. For code already inside the engine
    // (script functions, a running script thread) and for tests.
    static CLuaEngineManager& Manager();
    static CScriptThreadManager& ScriptThreads();

    // True once the engine has shut down (or given up waiting for what is
    // still inside): script functions then give their failure result.
    static bool IsClosed() { return s_closed.load(std::memory_order_relaxed); }

    // The calling thread's worker is released when the thread ends (once
    // per thread, when its worker is made): the mark its end sets, for
    // ForgetThreadEnd once the worker is gone; null when threads are not
    // watched.
    static pyn::CThreadEndCall::Mark* WatchThreadEnd();
    static void ForgetThreadEnd(pyn::CThreadEndCall::Mark* mark);

    // Windows, from DllMain when the library is detached: finalizers run by
    // the shutdown then must not call into other modules (the system's
    // loader lock is held), and when the process is ending its other
    // threads are already gone, so the shutdown waits for none of them.
    static void LoaderDetaching(bool processEnding);

    static constexpr std::chrono::milliseconds kDefaultExitWait{3000};
    // How long the shutdown waits for script threads and host calls.
    static void SetExitWaitForTesting(std::chrono::milliseconds wait);

private:
    struct Root;
    static Root& TheRoot();
    static std::atomic<bool> s_closed;
};

}  // namespace orvex

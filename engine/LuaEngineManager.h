// The process-wide engine manager: the engine lock, the worker of every
// calling thread and the cache of decoded script sources.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "LuaWorker.h"
#include "pyn/MutexUtil.h"
#include "pyn/ReadWriteLockUtil.h"
#include "pyn/ThreadUtil.h"

struct lua_State;

namespace orvex {

// The run a script thread was started from (see ExecLuaFor).
struct RunToken {
    CLuaWorker::RunMarker marker;
    uint64_t run = 0;
    bool StillHolds() const { return marker && marker->load(std::memory_order_acquire) == run; }
};

class CLuaEngineManager {
public:
    // The one manager of the process (see CEngineLifetime, which builds it
    // and shuts it down): for code already inside the engine.
    static CLuaEngineManager& Instance();

    static constexpr int kLockTimeout = 60;
    static constexpr size_t kMaxCacheEntries = 30;
    static constexpr size_t kMaxScriptBytes = 0x500000;

    bool ExecLua(const std::string& scriptPath, const std::string& functionName, std::string& result,
                 const std::vector<std::string>& args, bool encoded);
    bool LockExecLua(const std::string& scriptPath, const std::string& functionName, std::string& result,
                     const std::vector<std::string>& args, bool encoded);
    // ExecLua of a script thread started by the run `creator`. While that run
    // still holds the engine lock, this one takes its shared hold even when
    // a writer waits: the creator may be waiting for this thread, and the
    // writer waits for the creator, so queueing behind the writer would
    // stall all three until the lock times out.
    bool ExecLuaFor(const RunToken& creator, const std::string& scriptPath, std::string& result,
                    const std::vector<std::string>& args, bool encoded);
    // The shared run the calling thread is in (empty when none): what a
    // script thread it starts hands to ExecLuaFor.
    RunToken CurrentRunToken();
    int GetVarInt(const std::string& scriptPath, const std::string& varName, bool encoded);
    std::map<std::string, std::string> GetVarMap(const std::string& scriptPath, const std::string& varName,
                                                 bool encoded);
    void ClearLuaCache();

    // Runs a module file in the Lua state `L` of the script that asked for it
    // (a coroutine's state included), or in the calling thread's worker when
    // `L` is null (see RunModuleSource). On success the module's return
    // values are on top of that state's stack.
    bool RunModuleScript(const std::string& scriptPath, bool encoded, lua_State* L = nullptr);
    // Source text of a script file ("" = nothing to run).
    std::string GetScriptSource(const std::string& scriptPath, bool encoded);
    // The calling thread's worker, created on first use; it lives as long
    // as the thread (its globals persist between the thread's calls).
    std::shared_ptr<CLuaWorker> GetThreadWorker();
    // Drops the calling thread's worker and closes its Lua state, on that
    // thread: when a script thread's run has finished, and when any thread
    // that had a worker ends (where the platform calls back then).
    void ReleaseThreadWorker();
    // Drops the workers of threads that have ended and closes their Lua
    // states, on the calling thread (where the platform only records a
    // thread's end). Between runs only, never inside one.
    void ReleaseEndedWorkers();
    // Closes every worker's Lua state (their finalizers run). Only at
    // shutdown, when no run is in progress on any thread.
    void CloseAllStates();

    // Decodes the encoded script form; "" when it does not decode.
    static std::string DecodeScriptText(const std::string& text);
    static std::string EncodeScriptText(const std::string& source);

    // The engine's counters as a JSON text (see orvexGetStatistics).
    std::string StatisticsJson();

    size_t WorkerCountForTesting();
    size_t CacheSizeForTesting();
    int WaitingWritersForTesting();

private:
    friend class CEngineLifetime;
    CLuaEngineManager() = default;
    ~CLuaEngineManager() = default;
    enum class Hold { kShared, kSharedAheadOfWriters, kExclusive };
    bool Exec(Hold hold, const std::string& scriptPath, const std::string& functionName, std::string& result,
              const std::vector<std::string>& args, bool encoded);

    // Members in this order: destruction closes the workers' Lua states
    // after the cache is gone and before the worker-map mutex.
    // A thread's worker and the mark its end sets (null: not watched).
    struct ThreadWorker {
        std::shared_ptr<CLuaWorker> worker;
        pyn::CThreadEndCall::Mark* end = nullptr;
        bool ended() const { return end && end->Ended(); }
    };
    // Takes the worker out of the map and closes its state outside the
    // map's mutex (even when the statistics still hold the worker).
    void CloseAndForget(ThreadWorker slot);
    pyn::CMutexUtil m_workerMutex;
    std::map<uint32_t, ThreadWorker> m_workers;
    pyn::CReadWriteLockUtil m_engineLock;
    pyn::CMutexUtil m_cacheMutex;
    std::map<std::string, std::string> m_sourceCache;
    uint64_t m_cacheHits = 0;  // under m_cacheMutex
    uint64_t m_cacheMisses = 0;
};

}  // namespace orvex

// One Lua state and everything one operating-system thread runs in it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ChunkCache.h"
#include "LuaStateAllocator.h"

struct lua_State;

namespace orvex {

class CLuaWorker {
public:
    CLuaWorker();
    ~CLuaWorker();
    CLuaWorker(const CLuaWorker&) = delete;
    CLuaWorker& operator=(const CLuaWorker&) = delete;

    // Creates and fills the state on first call; false when Lua cannot create one.
    bool StartLuaWork();
    // True when the worker has a state: one that could not be created, or
    // replaced after a panic, for lack of memory is tried again here, so the
    // thread's next call finds a state again. A state closed by CloseState
    // stays closed.
    bool EnsureState();
    bool IsOwnerThread() const;

    // Loads and runs `source`, then calls the global `functionName`
    // ("" = "orvexScriptMain") with `args` (local code page).
    bool ExecScript(const std::string& source, const std::string& functionName, std::string& result,
                    const std::vector<std::string>& args);
    // The call half of ExecScript.
    bool CallScriptFunction(const std::string& functionName, std::string& result,
                            const std::vector<std::string>& args);
    int GetVarInt(const std::string& source, const std::string& varName);
    std::map<std::string, std::string> GetVarMap(const std::string& source, const std::string& varName);
    // Runs a module chunk; on success its return values stay on the stack.
    bool RunModuleSource(const std::string& source);
    // The same on any Lua state (a coroutine of the worker's, for one).
    static bool RunModuleSource(lua_State* L, const std::string& source);

    lua_State* State() const { return m_state; }
    // Closes the state now (its finalizers run); the worker then answers as
    // one whose state could not be created, for good.
    void CloseState();

    // The shared run of the engine lock this worker is in: its serial, or 0
    // between runs. Set by the owner thread, read by any (a script thread
    // asks whether the run that started it still holds the lock); shared, so
    // that asking keeps neither the worker nor its state alive.
    using RunMarker = std::shared_ptr<std::atomic<uint64_t>>;
    uint64_t BeginSharedRun() {
        m_sharedRun->store(++m_runSerial, std::memory_order_release);
        return m_runSerial;
    }
    void EndSharedRun() { m_sharedRun->store(0, std::memory_order_release); }
    const RunMarker& SharedRunMarker() const { return m_sharedRun; }

    // Tests: let this worker's state (and any that replaces it) run out of
    // memory beyond `bytes`.
    void SetMemoryLimitForTesting(size_t bytes) { m_allocator.SetLimit(bytes); }
    // Tests: the allocator of this worker's state (and of any that replaces
    // it), for allocation-failure injection.
    CLuaStateAllocator& AllocatorForTesting() { return m_allocator; }

    // What the worker's runs did, counted by its own thread, readable from any.
    struct Stats {
        std::atomic<uint64_t> runs{0};
        std::atomic<uint64_t> failed{0};  // outcome false, or ended by a limit or a stop
        std::atomic<uint64_t> timeouts{0};
        std::atomic<uint64_t> stops{0};
        std::atomic<uint64_t> outOfMemory{0};  // ended at the state's memory limit
        std::atomic<uint64_t> runNanos{0};
        void Record(bool failedRun, const char* ended, std::chrono::nanoseconds took);
    };
    const Stats& RunStats() const { return m_stats; }
    const CLuaStateAllocator& Allocator() const { return m_allocator; }
    size_t CachedChunkCount() const { return m_chunks.Count(); }
    uint32_t OwnerThread() const { return m_ownerThread; }

private:
    // Runs `body` as one run (CRunControl): bounded, counted, and with the
    // state replaced after a panic (giving `onPanic`) or when the run left it
    // at its memory limit.
    template <typename Result, typename Body>
    Result AsRun(Body body, Result onPanic, bool (*failed)(const Result&));
    void AfterRun();
    bool ExecScriptImpl(const std::string& source, const std::string& functionName, std::string& result,
                        const std::vector<std::string>& args);
    bool CallScriptFunctionImpl(const std::string& functionName, std::string& result,
                                const std::vector<std::string>& args);
    int GetVarIntImpl(const std::string& source, const std::string& varName);
    std::map<std::string, std::string> GetVarMapImpl(const std::string& source, const std::string& varName);
    void RecoverFromPanic();
    bool LoadAndRunForRead(const std::string& source);

    CLuaStateAllocator m_allocator;  // outlives m_state
    CChunkCache m_chunks;            // of m_state
    lua_State* m_state = nullptr;
    bool m_closed = false;  // by CloseState: no new state
    uint32_t m_ownerThread = 0;
    Stats m_stats;
    uint64_t m_runSerial = 0;
    RunMarker m_sharedRun = std::make_shared<std::atomic<uint64_t>>(0);
};

}  // namespace orvex

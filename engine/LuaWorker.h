// One Lua state and everything one operating-system thread runs in it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

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
    // Tests: let this worker's state (and any that replaces it) run out of
    // memory beyond `bytes`.
    void SetMemoryLimitForTesting(size_t bytes) { m_allocator.SetLimit(bytes); }

private:
    bool ExecScriptImpl(const std::string& source, const std::string& functionName, std::string& result,
                        const std::vector<std::string>& args);
    bool CallScriptFunctionImpl(const std::string& functionName, std::string& result,
                                const std::vector<std::string>& args);
    int GetVarIntImpl(const std::string& source, const std::string& varName);
    std::map<std::string, std::string> GetVarMapImpl(const std::string& source, const std::string& varName);
    void RecoverFromPanic();
    bool LoadAndRunForRead(const std::string& source);

    CLuaStateAllocator m_allocator;  // outlives m_state
    lua_State* m_state = nullptr;
    uint32_t m_ownerThread = 0;
};

}  // namespace orvex

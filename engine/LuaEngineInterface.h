// Public interface of the orvexLuaEngine library.
//
// The host names a script file (plain Lua source or the encoded form), the
// global function to call and its string arguments, and gets back an outcome
// and a result string. Every text is a byte string in the host's local code
// page. None of these functions throws.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "OrvexExport.h"

struct lua_State;

class ORVEX_API CLuaEngineInterface {
public:
    // Runs the script's main chunk in the calling thread's Lua state, then
    // calls `functionName` (empty: "orvexScriptMain") with `args`.
    static bool ExecLua(const std::string& scriptPath, const std::string& functionName,
                        std::string& result, const std::vector<std::string>& args,
                        bool encoded);
    // As ExecLua, but no other script runs at the same time.
    static bool LockExecLua(const std::string& scriptPath, const std::string& functionName,
                            std::string& result, const std::vector<std::string>& args,
                            bool encoded);
    // Integer value of a global after the script's main chunk ran; 0 on failure.
    static int GetVarInt(const std::string& scriptPath, const std::string& varName, bool encoded);
    // String entries of a global table after the main chunk ran; empty on failure.
    static std::map<std::string, std::string> GetVarMap(const std::string& scriptPath,
                                                        const std::string& varName, bool encoded);
    // Forgets every cached decoded script source.
    static void ClearLuaCache();

private:
    CLuaEngineInterface();
    ~CLuaEngineInterface();
};

// Installs the fifteen orvex script libraries into a Lua state; returns 0.
extern "C" ORVEX_API int luaopen_LuaEngine(lua_State* L);

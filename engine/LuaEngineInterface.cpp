// The exported functions: each enters the engine (see CEngineLifetime),
// forwards to the engine manager and lets nothing escape.
#include "LuaEngineInterface.h"

#include "EngineLifetime.h"
#include "LuaEngineManager.h"

using orvex::CEngineLifetime;

namespace {

// The result of a call that arrives once the engine has shut down.
const char kEngineClosed[] = "engine closed";

}  // namespace

bool CLuaEngineInterface::ExecLua(const std::string& scriptPath, const std::string& functionName,
                                  std::string& result, const std::vector<std::string>& args, bool encoded) {
    try {
        CEngineLifetime::Entry engine;
        if (!engine) {
            result = kEngineClosed;
            return false;
        }
        return engine.manager().ExecLua(scriptPath, functionName, result, args, encoded);
    } catch (...) {
        return false;
    }
}

bool CLuaEngineInterface::LockExecLua(const std::string& scriptPath, const std::string& functionName,
                                      std::string& result, const std::vector<std::string>& args, bool encoded) {
    try {
        CEngineLifetime::Entry engine;
        if (!engine) {
            result = kEngineClosed;
            return false;
        }
        return engine.manager().LockExecLua(scriptPath, functionName, result, args, encoded);
    } catch (...) {
        return false;
    }
}

int CLuaEngineInterface::GetVarInt(const std::string& scriptPath, const std::string& varName, bool encoded) {
    try {
        CEngineLifetime::Entry engine;
        return engine ? engine.manager().GetVarInt(scriptPath, varName, encoded) : 0;
    } catch (...) {
        return 0;
    }
}

std::map<std::string, std::string> CLuaEngineInterface::GetVarMap(const std::string& scriptPath,
                                                                  const std::string& varName, bool encoded) {
    try {
        CEngineLifetime::Entry engine;
        if (!engine) return {};
        return engine.manager().GetVarMap(scriptPath, varName, encoded);
    } catch (...) {
        return {};
    }
}

void CLuaEngineInterface::ClearLuaCache() {
    try {
        CEngineLifetime::Entry engine;
        if (engine) engine.manager().ClearLuaCache();
    } catch (...) {
    }
}

// The exported functions: each forwards to the engine manager and lets
// nothing escape.
#include "LuaEngineInterface.h"

#include "LuaEngineManager.h"

using orvex::CLuaEngineManager;

bool CLuaEngineInterface::ExecLua(const std::string& scriptPath, const std::string& functionName,
                                  std::string& result, const std::vector<std::string>& args, bool encoded) {
    try {
        return CLuaEngineManager::Instance().ExecLua(scriptPath, functionName, result, args, encoded);
    } catch (...) {
        return false;
    }
}

bool CLuaEngineInterface::LockExecLua(const std::string& scriptPath, const std::string& functionName,
                                      std::string& result, const std::vector<std::string>& args, bool encoded) {
    try {
        return CLuaEngineManager::Instance().LockExecLua(scriptPath, functionName, result, args, encoded);
    } catch (...) {
        return false;
    }
}

int CLuaEngineInterface::GetVarInt(const std::string& scriptPath, const std::string& varName, bool encoded) {
    try {
        return CLuaEngineManager::Instance().GetVarInt(scriptPath, varName, encoded);
    } catch (...) {
        return 0;
    }
}

std::map<std::string, std::string> CLuaEngineInterface::GetVarMap(const std::string& scriptPath,
                                                                  const std::string& varName, bool encoded) {
    try {
        return CLuaEngineManager::Instance().GetVarMap(scriptPath, varName, encoded);
    } catch (...) {
        return {};
    }
}

void CLuaEngineInterface::ClearLuaCache() {
    try {
        CLuaEngineManager::Instance().ClearLuaCache();
    } catch (...) {
    }
}

// orvexConfig script library: read-only getters over the agent's
// configuration component. Arguments are ignored; without a component every
// getter returns nothing.
#include <cstring>

#include "LibraryTables.h"
#include "ScriptBinding.h"
#include "pyn/AgentComponents.h"

ORVEX_DEFINE_EXPORTED_SINGLETON(COrvexConfig)

namespace orvex {
namespace {

template <class Getter>
int PushConfigText(lua_State* L, Getter get) {
    COrvexConfig* config = pyn::CSingleton<COrvexConfig>::GetInstance();
    if (!config) return 0;
    PushText(L, get(*config));
    return 1;
}

int GetVMid(lua_State* L) {
    return PushConfigText(L, [](COrvexConfig& c) { return c.GetVMid(); });
}

int GetMachineUuid(lua_State* L) {
    return PushConfigText(L, [](COrvexConfig& c) { return c.GetBiosUuid(); });
}

int GetIdentityIp(lua_State* L) {
    return PushConfigText(L, [](const COrvexConfig& c) { return c.GetIdentityIp(); });
}

int GetPlatInfo(lua_State* L) {
    return PushConfigText(L, [](COrvexConfig& c) { return c.GetPlatInfo(); });
}

int GetCurrentVersion(lua_State* L) {
    return PushConfigText(L, [](COrvexConfig& c) { return c.GetCurrentVersion(); });
}

int GetServiceIp(lua_State* L) {
    return PushConfigText(L, [](COrvexConfig& c) { return c.GetServiceIp(); });
}

// The identifier ends at its first zero byte.
int GetUuid(lua_State* L) {
    return PushConfigText(L, [](COrvexConfig& c) {
        std::string uuid = c.GetUuid();
        uuid.resize(std::strlen(uuid.c_str()));
        return uuid;
    });
}

}  // namespace

const luaL_Reg kOrvexConfigLib[] = {
    ORVEX_SCRIPT_FN("GetVMid", GetVMid),
    ORVEX_SCRIPT_FN("GetMachineUuid", GetMachineUuid),
    ORVEX_SCRIPT_FN("GetIdentityIp", GetIdentityIp),
    ORVEX_SCRIPT_FN("GetPlatInfo", GetPlatInfo),
    ORVEX_SCRIPT_FN("GetCurrentVersion", GetCurrentVersion),
    ORVEX_SCRIPT_FN("GetServiceIp", GetServiceIp),
    ORVEX_SCRIPT_FN("GetUuid", GetUuid),
    {nullptr, nullptr},
};

}  // namespace orvex

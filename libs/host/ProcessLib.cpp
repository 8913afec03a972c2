// orvexProcess script library: the process object's operations for
// scripts. Ids are read as 32-bit integers and widened with their sign.
#include <cstdint>

#include "LibraryTables.h"
#include "ScriptBinding.h"
#include "pyn/ProcessUtil.h"
#include "system/UtilWrapper.h"

namespace orvex {
namespace {

std::string NameArg(lua_State* L) {
    CheckArgCount(L, 1);
    std::string name = RequireStringArg(L, 1);
    return name;
}

int64_t IdArg(lua_State* L) {
    CheckArgCount(L, 1);
    return static_cast<int64_t>(GetIntArg(L, 1));
}

int KillProcByName(lua_State* L) {
    PushBool(L, pyn::GetProcessUtil()->KillProcByName(NameArg(L)));
    return 1;
}

// Arguments are ignored. Keys are the full ids.
int GetAllProcessList(lua_State* L) {
    ReserveStack(L, 3);
    lua_createtable(L, 0, 0);
    pyn::ProcessList list = pyn::GetProcessUtil()->GetAllProcessList();
    if (list.empty()) return 0;
    for (const auto& entry : list) {
        lua_pushnumber(L, static_cast<lua_Number>(entry.first));
        PushText(L, entry.second);
        lua_settable(L, -3);
    }
    return 1;
}

int KillProcById(lua_State* L) {
    PushBool(L, pyn::GetProcessUtil()->KillProcById(IdArg(L)));
    return 1;
}

// Values are the ids' low 32 bits, as signed integers.
int GetProcessIdByName(lua_State* L) {
    pyn::ProcessIdList ids = pyn::GetProcessUtil()->GetProcessIdByName(NameArg(L));
    if (ids.empty()) return 0;
    ReserveStack(L, 3);
    lua_createtable(L, 0, 0);
    lua_Integer index = 1;
    for (int64_t id : ids) {
        lua_pushinteger(L, index++);
        lua_pushinteger(L, static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(id))));
        lua_settable(L, -3);
    }
    return 1;
}

int GetProcCommandLine(lua_State* L) {
    PushText(L, pyn::GetProcessUtil()->GetProcCommandLine(IdArg(L)));
    return 1;
}

int GetProcPath(lua_State* L) {
    PushText(L, pyn::GetProcessUtil()->GetProcPath(IdArg(L), 1));
    return 1;
}

int CheckProcessAlive(lua_State* L) {
    PushBool(L, pyn::GetProcessUtil()->CheckProcessAlive(NameArg(L)));
    return 1;
}

int GetPPid(lua_State* L) {
    lua_pushinteger(L, pyn::GetProcessUtil()->GetPPid(IdArg(L)));
    return 1;
}

}  // namespace

const luaL_Reg kOrvexProcessLib[] = {
    ORVEX_SCRIPT_FN("KillProcByName", KillProcByName),
    ORVEX_SCRIPT_FN("GetAllProcessList", GetAllProcessList),
    ORVEX_SCRIPT_FN("KillProcById", KillProcById),
    ORVEX_SCRIPT_FN("GetProcessIdByName", GetProcessIdByName),
    ORVEX_SCRIPT_FN("GetProcCommandLine", GetProcCommandLine),
    ORVEX_SCRIPT_FN("GetProcPath", GetProcPath),
    ORVEX_SCRIPT_FN("CheckProcessAlive", CheckProcessAlive),
    ORVEX_SCRIPT_FN("GetPPid", GetPPid),
    // The same function as orvexUtil.StartProcess.
    ORVEX_SCRIPT_FN("StartProcess", util::StartProcess),
    {nullptr, nullptr},
};

}  // namespace orvex

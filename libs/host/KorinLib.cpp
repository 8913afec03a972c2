// orvexKorin script library: the web-protection engine and its rules.
// Arguments are ignored and nothing is raised.
#include "LibraryTables.h"
#include "ScriptBinding.h"
#include "pyn/AgentComponents.h"

ORVEX_DEFINE_EXPORTED_SINGLETON(CKorinMgr)
ORVEX_DEFINE_EXPORTED_SINGLETON(CWafRule)

namespace orvex {
namespace {

int StartKorin(lua_State* L) {
    CKorinMgr* korin = CKorinMgr::GetInstance();
    PushBool(L, korin && korin->StartKorin() != 0);
    return 1;
}

int StopKorin(lua_State* L) {
    CKorinMgr* korin = CKorinMgr::GetInstance();
    PushBool(L, korin && korin->StopKorin());
    return 1;
}

int UnInstallKorin(lua_State* L) {
    if (CKorinMgr* korin = CKorinMgr::GetInstance()) korin->UnInstallAllModules();
    PushBool(L, true);
    return 1;
}

int RequestRule(lua_State* L) {
    CWafRule* rules = pyn::CSingleton<CWafRule>::GetInstance();
    PushBool(L, rules && rules->PullWafRule());
    return 1;
}

}  // namespace

const luaL_Reg kOrvexKorinLib[] = {
    ORVEX_SCRIPT_FN("StartKorin", StartKorin),
    ORVEX_SCRIPT_FN("StopKorin", StopKorin),
    ORVEX_SCRIPT_FN("UnInstallKorin", UnInstallKorin),
    ORVEX_SCRIPT_FN("RequestRule", RequestRule),
    {nullptr, nullptr},
};

}  // namespace orvex

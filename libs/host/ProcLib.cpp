// orvexProc script library.
#include "LibraryTables.h"
#include "ScriptBinding.h"

namespace orvex {
namespace {

// Checks its one argument and refreshes nothing: the answer is always false.
int RefreshProcList(lua_State* L) {
    CheckArgCount(L, 1);
    RequireNonEmpty(GetStringArg(L, 1));
    PushBool(L, false);
    return 1;
}

}  // namespace

const luaL_Reg kOrvexProcLib[] = {
    ORVEX_SCRIPT_FN("RefreshProcList", RefreshProcList),
    {nullptr, nullptr},
};

}  // namespace orvex

// orvexLoadLua: runs module scripts from the application's "luascript"
// directory in the calling script's own Lua state.
#include "LibraryTables.h"
#include "LuaEngineManager.h"
#include "ScriptBinding.h"
#include "pyn/ToolUtil.h"

namespace orvex {
namespace {

// LoadModule(name): the module chunk's last return value (its own name when
// it returned nothing); nil when the module could not be run.
//
// The module runs in `L` itself, the state of the calling script: inside a
// coroutine that is the coroutine, so its result lands where the caller
// reads it and nothing piles up on the main state's stack.
int LoadModule(lua_State* L) {
    CheckArgCount(L, 1);
    std::string name = RequireStringArg(L, 1);
    std::string path = pyn::CToolUtil::GetApplicationDirPath() + "/luascript/" + name + ".lua";
    if (!CLuaEngineManager::Instance().RunModuleScript(path, true, L)) {
        lua_settop(L, 0);
        return 0;
    }
    return 1;  // the topmost value: the chunk's last result, or the name argument
}

}  // namespace

const luaL_Reg kOrvexLoadLuaLib[] = {
    ORVEX_SCRIPT_FN("LoadModule", LoadModule),
    {nullptr, nullptr},
};

}  // namespace orvex

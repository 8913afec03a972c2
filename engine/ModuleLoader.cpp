// orvexLoadLua: runs module scripts from the application's "luascript"
// directory in the calling script's own Lua state.
#include "LibraryTables.h"
#include "LuaEngineManager.h"
#include "ScriptBinding.h"
#include "pyn/ToolUtil.h"

namespace orvex {
namespace {

// True when `name` names a file below the module directory: not absolute,
// no drive letter, no ".." component ('/' and '\\' both separate).
bool StaysBelowModuleDir(const std::string& name) {
    if (name[0] == '/' || name[0] == '\\' || (name.size() >= 2 && name[1] == ':')) return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("/\\", start);
        if (end == std::string::npos) end = name.size();
        if (name.compare(start, end - start, "..") == 0) return false;
        start = end + 1;
    }
    return true;
}

// LoadModule(name): the module chunk's last return value (its own name when
// it returned nothing); nil when the module could not be run or the name
// leaves the module directory.
//
// The module runs in `L` itself, the state of the calling script: inside a
// coroutine that is the coroutine, so its result lands where the caller
// reads it and nothing piles up on the main state's stack.
int LoadModule(lua_State* L) {
    CheckArgCount(L, 1);
    std::string name = RequireStringArg(L, 1);
    if (!StaysBelowModuleDir(name)) return 0;  // as for a missing module
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

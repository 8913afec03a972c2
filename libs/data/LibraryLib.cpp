// orvexLibrary script library: native plug-in modules, loaded by path into
// the process-wide CLoadLibraryCache, shared by every script on every thread.
#include "LibraryTables.h"
#include "ScriptBinding.h"
#include "data/LoadLibraryCache.h"

namespace orvex {
namespace {

CLoadLibraryCache& Cache() { return *CLoadLibraryCache::GetInstance(); }

// CallModuleFuncWithParam(path, function, param) -> the function's text, or
// nothing for every failure.
int CallModuleFuncWithParam(lua_State* L) {
    CheckArgCount(L, 3);
    const std::string path = GetStringArg(L, 1);
    const std::string function = GetStringArg(L, 2);
    const std::string param = GetStringArg(L, 3);
    if (path.empty() || function.empty() || param.empty()) return 0;
    const std::string result = Cache().InvokeModuleFunc(path, function, param);
    if (result.empty()) return 0;
    PushText(L, result);
    return 1;
}

// LoadModule(path) -> true when the module is loaded.
int LoadModule(lua_State* L) {
    CheckArgCount(L, 1);
    if (!lua_isstring(L, 1)) ThrowArgvError();
    const std::string path = GetStringArg(L, 1);
    PushBool(L, !path.empty() && Cache().OpenModule(path));
    return 1;
}

// CloseModule(path) -> true when the module was unloaded and forgotten.
int CloseModule(lua_State* L) {
    CheckArgCount(L, 1);
    const std::string path = GetStringArg(L, 1);
    PushBool(L, !path.empty() && Cache().ReleaseModule(path));
    return 1;
}

// IsLoadLibrary(path) -> whether the cache has an entry for the path.
int IsLoadLibrary(lua_State* L) {
    CheckArgCount(L, 1);
    PushBool(L, Cache().HasModule(GetStringArg(L, 1)));
    return 1;
}

}  // namespace

const luaL_Reg kOrvexLibraryLib[] = {
    ORVEX_SCRIPT_FN("CallModuleFuncWithParam", CallModuleFuncWithParam),
    ORVEX_SCRIPT_FN("LoadModule", LoadModule),
    ORVEX_SCRIPT_FN("CloseModule", CloseModule),
    ORVEX_SCRIPT_FN("IsLoadLibrary", IsLoadLibrary),
    {nullptr, nullptr},
};

}  // namespace orvex

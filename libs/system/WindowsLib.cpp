// orvexWindows script library: install, reinstall and restart services.
#include "LibraryTables.h"
#include "SCManager.h"
#include "ScriptBinding.h"

namespace orvex {
namespace {

// Service type 0: the default own-process, interactive service.
constexpr uint32_t kDefaultServiceType = 0;

using InstallOperation = bool (*)(const std::string&, const std::string&, const char*, uint32_t);

// (name, path): both required; the name is also the display name.
int InstallWith(lua_State* L, InstallOperation operation) {
    CheckArgCount(L, 2);
    const std::string name = GetStringArg(L, 1);
    const std::string path = GetStringArg(L, 2);
    RequireNonEmpty(name);
    RequireNonEmpty(path);
    PushBool(L, !HasZeroByte(name) && !HasZeroByte(path) && operation(name, name, path.c_str(), kDefaultServiceType));
    return 1;
}

// winInstallService(name, path)
int WinInstallService(lua_State* L) { return InstallWith(L, InstallService); }

// winRInstallService(name, path)
int WinRInstallService(lua_State* L) { return InstallWith(L, ReinstallService); }

// winRStartService(name)
int WinRStartService(lua_State* L) {
    CheckArgCount(L, 1);
    const std::string name = RequireStringArg(L, 1);
    PushBool(L, !HasZeroByte(name) && RestartService(name));
    return 1;
}

}  // namespace

const luaL_Reg kOrvexWindowsLib[] = {
    ORVEX_SCRIPT_FN("winInstallService", WinInstallService),
    ORVEX_SCRIPT_FN("winRInstallService", WinRInstallService),
    ORVEX_SCRIPT_FN("winRStartService", WinRStartService),
    {nullptr, nullptr},
};

}  // namespace orvex

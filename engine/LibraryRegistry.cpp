// luaopen_LuaEngine: installs the fifteen script libraries, in this order.
#include "LibraryTables.h"
#include "LuaEngineInterface.h"

namespace {

struct LibraryEntry {
    const char* name;
    const luaL_Reg* functions;
};

const LibraryEntry kLibraries[] = {
    {"orvexUtil", orvex::kOrvexUtilLib},
    {"orvexConfig", orvex::kOrvexConfigLib},
    {"orvexProcess", orvex::kOrvexProcessLib},
    {"orvexAlgorithm", orvex::kOrvexAlgorithmLib},
    {"orvexNetWork", orvex::kOrvexNetWorkLib},
    {"orvexLibrary", orvex::kOrvexLibraryLib},
    {"orvexJson", orvex::kOrvexJsonLib},
    {"orvexIni", orvex::kOrvexIniLib},
    {"orvexSqlite", orvex::kOrvexSqliteLib},
    {"orvexLoadLua", orvex::kOrvexLoadLuaLib},
    {"orvexIpc", orvex::kOrvexIpcLib},
    {"orvexThread", orvex::kOrvexThreadLib},
    {"orvexWindows", orvex::kOrvexWindowsLib},
    {"orvexKorin", orvex::kOrvexKorinLib},
    {"orvexProc", orvex::kOrvexProcLib},
};

}  // namespace

extern "C" ORVEX_API int luaopen_LuaEngine(lua_State* L) {
    // Each luaL_register leaves its table on the stack; make room for them.
    if (!lua_checkstack(L, static_cast<int>(sizeof kLibraries / sizeof kLibraries[0]) + 2))
        return luaL_error(L, "stack overflow");
    for (const LibraryEntry& lib : kLibraries) luaL_register(L, lib.name, lib.functions);
    return 0;
}

// The function tables of the fifteen orvex script libraries, each defined by
// the library's own source file.
#pragma once

extern "C" {
#include <lauxlib.h>
}

namespace orvex {

extern const luaL_Reg kOrvexUtilLib[];
extern const luaL_Reg kOrvexConfigLib[];
extern const luaL_Reg kOrvexProcessLib[];
extern const luaL_Reg kOrvexAlgorithmLib[];
extern const luaL_Reg kOrvexNetWorkLib[];
extern const luaL_Reg kOrvexLibraryLib[];
extern const luaL_Reg kOrvexJsonLib[];
extern const luaL_Reg kOrvexIniLib[];
extern const luaL_Reg kOrvexSqliteLib[];
extern const luaL_Reg kOrvexLoadLuaLib[];
extern const luaL_Reg kOrvexIpcLib[];
extern const luaL_Reg kOrvexThreadLib[];
extern const luaL_Reg kOrvexWindowsLib[];
extern const luaL_Reg kOrvexKorinLib[];
extern const luaL_Reg kOrvexProcLib[];

}  // namespace orvex

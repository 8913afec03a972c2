// The orvexUtil script functions, by group (see UtilWrapper.cpp).
#pragma once

extern "C" {
#include <lua.h>
}

namespace orvex {
namespace util {

// Commands and processes (UtilProcess.cpp).

// Files and directories (UtilFiles.cpp).

// HTTP, archives and small tools (UtilMisc.cpp).
int HttpGetToFile(lua_State* L);
int HttpGetToBuffer(lua_State* L);
int HttpPostFromFile(lua_State* L);
int HttpPostFromBuffer(lua_State* L);
int miniUnzip(lua_State* L);
int DirzipFile(lua_State* L);
int Compress(lua_State* L);
int UnCompress(lua_State* L);
int zlibCompress(lua_State* L);
int GetSystemVersion(lua_State* L);
int IsX64System(lua_State* L);
int GetAppPath(lua_State* L);
int msleep(lua_State* L);
int trimmed(lua_State* L);
int DebugLog(lua_State* L);
int contains(lua_State* L);
int ConverBufferToString(lua_State* L);
int ConverStringToBuffer(lua_State* L);
int currentMSecsSinceEpoch(lua_State* L);
int toHex(lua_State* L);
int fromHex(lua_State* L);

}  // namespace util
}  // namespace orvex

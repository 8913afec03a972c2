// The orvexUtil script functions, by group (see UtilWrapper.cpp).
#pragma once

extern "C" {
#include <lua.h>
}

namespace orvex {
namespace util {

// Commands and processes (UtilProcess.cpp).
int Terminate(lua_State* L);
int StartProcess(lua_State* L);
int ExecCommand(lua_State* L);
int ExecCommandReadAll(lua_State* L);
int Exec(lua_State* L);

// Files and directories (UtilFiles.cpp).
int IsFile(lua_State* L);
int IsDir(lua_State* L);
int mkdir(lua_State* L);
int CopyDirectoryFile(lua_State* L);
int CopyFileUtil(lua_State* L);
int RemoveFile(lua_State* L);
int RemoveDir(lua_State* L);
int RemoveFileInDir(lua_State* L);
int GetAllFileFromDir(lua_State* L);
int GetOneFileFromDir(lua_State* L);
int GetFileOwner(lua_State* L);
int GetFileCreateTime(lua_State* L);
int GetFileLastModified(lua_State* L);
int WriteNewFile(lua_State* L);
int WriteAppenFile(lua_State* L);
int WriteOffsetFile(lua_State* L);
int ReadFullFile(lua_State* L);
int ReadOffsetFile(lua_State* L);
int GetBufferSize(lua_State* L);
int GetFileSize(lua_State* L);
int absoluteFilePath(lua_State* L);
int GetFileNameFromPath(lua_State* L);
int GetRootDiskFreeSpace(lua_State* L);

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

// Shared pieces of the fuzz targets: a scratch directory that goes when the
// target exits, an engine Lua state, calls of script functions, and the
// report of a property that does not hold.
#pragma once

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include <string>

namespace orvexfuzz {

// A property the target checks does not hold: prints the message and
// aborts, so that libFuzzer keeps the input as a crash.
[[noreturn]] void Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Once per process: log records are dropped, texts are UTF-8 (so that text
// arguments pass unchanged), and HTTP goes to no proxy.
void Setup();

// The scratch directory of this process, made on first call below
// $ORVEX_FUZZ_SCRATCH (else $TMPDIR, else /tmp) as orvex-fuzz-<name>-XXXXXX
// and removed, with everything in it, when the process exits.
const std::string& ScratchRoot(const char* name);

// Removes `path` with everything below it; links are removed, not followed.
void RemoveTree(const std::string& path);
// Removes everything inside the directory `dir` (made when missing).
void EmptyDir(const std::string& dir);
// Writes a whole file (aborts when it cannot) / reads one.
void WriteFile(const std::string& path, const std::string& bytes);
bool ReadFile(const std::string& path, std::string& bytes);
// One line per entry below `dir` (links not followed), sorted: the relative
// path, the kind, a regular file's size and contents digest, a link's
// target. Entries at or below `skip` (a path relative to `dir`) are left
// out.
std::string ListTree(const std::string& dir, const std::string& skip = std::string());

// A new Lua state with Lua's standard libraries and the orvex libraries
// (luaL_openlibs + luaopen_LuaEngine).
lua_State* OpenEngineState();
// The process's one such state, made (after Setup) on first use.
lua_State* SharedEngineState();

// Calls lib.fn with the `nargs` values on top of the stack (which it pops)
// under lua_pcall; leaves `nresults` results (or all, LUA_MULTRET) or the
// error value. Returns lua_pcall's status.
int CallScript(lua_State* L, const char* lib, const char* fn, int nargs, int nresults);

// Pushes the bytes of `s` as a Lua string.
void PushString(lua_State* L, const std::string& s);
// The bytes of the string (or number) at `index`; "" for anything else.
std::string BytesAt(lua_State* L, int index);
// The text of an error value: the string, or a description of its type.
std::string ErrorText(lua_State* L, int index = -1);
bool EndsWith(const std::string& text, const std::string& suffix);

}  // namespace orvexfuzz

#include "TextChunks.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <luaconf.h>
}

#include <cstdint>
#include <string>

#include "pyn/FileUtil.h"

namespace orvex {

const char kBinaryChunkRefused[] = "binary chunks are not loaded";

namespace {

bool IsBinary(const char* data, size_t size) { return size > 0 && data[0] == LUA_SIGNATURE[0]; }

// Whether the file `name` holds a binary chunk as luaL_loadfile would read
// it (after a first line that starts with '#'). Only a regular file is
// looked into, without waiting; anything else is left to the loader itself.
bool FileHoldsBinary(const char* name) {
    const int64_t kPeek = 64 * 1024;
    int64_t length = kPeek;
    std::string head;
    if (!name || !pyn::CFileUtil::ReadOffsetFile(name, 0, length, head) || head.empty()) return false;
    size_t at = 0;
    if (head[0] == '#') {
        at = head.find('\n');
        if (at == std::string::npos) return false;
        ++at;
    }
    return at < head.size() && head[at] == LUA_SIGNATURE[0];
}

// Calls the wrapped function (upvalue 1) with this call's arguments.
int CallWrapped(lua_State* L) {
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_insert(L, 1);
    lua_call(L, lua_gettop(L) - 1, LUA_MULTRET);
    return lua_gettop(L);
}

int RefusedLoad(lua_State* L) {
    lua_pushnil(L);
    lua_pushstring(L, kBinaryChunkRefused);
    return 2;
}

// loadstring(s [, name])
// Each guard checks the arguments as the function it wraps does, so that a
// bad call is reported under the name the script called.
int GuardedLoadString(lua_State* L) {
    size_t size = 0;
    const char* s = luaL_checklstring(L, 1, &size);
    luaL_optstring(L, 2, s);
    if (IsBinary(s, size)) return RefusedLoad(L);
    return CallWrapped(L);
}

// The reader `load` gets instead of the script's: the script's reader
// (upvalue 1), whose first piece of text must not start a binary chunk
// (upvalue 2: whether that piece has been seen).
int GuardedReader(lua_State* L) {
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_call(L, 0, 1);
    if (!lua_toboolean(L, lua_upvalueindex(2)) && lua_type(L, -1) == LUA_TSTRING) {
        size_t size = 0;
        const char* piece = lua_tolstring(L, -1, &size);
        if (size > 0) {
            if (IsBinary(piece, size)) return luaL_error(L, "%s", kBinaryChunkRefused);
            lua_pushboolean(L, 1);
            lua_replace(L, lua_upvalueindex(2));
        }
    }
    return 1;
}

// load(func [, name])
int GuardedLoad(lua_State* L) {
    luaL_checktype(L, 1, LUA_TFUNCTION);
    luaL_optstring(L, 2, "=(load)");
    {
        lua_pushvalue(L, 1);
        lua_pushboolean(L, 0);
        lua_pushcclosure(L, &GuardedReader, 2);
        lua_replace(L, 1);
    }
    return CallWrapped(L);
}

// loadfile([name])
int GuardedLoadFile(lua_State* L) {
    if (FileHoldsBinary(luaL_optstring(L, 1, nullptr))) return RefusedLoad(L);
    return CallWrapped(L);
}

// dofile([name])
int GuardedDoFile(lua_State* L) {
    if (FileHoldsBinary(luaL_optstring(L, 1, nullptr))) return luaL_error(L, "%s", kBinaryChunkRefused);
    return CallWrapped(L);
}

// The Lua file searcher of require (package.loaders[2]): the file it would
// load is the first readable one along package.path, found here as it finds
// it; a binary one is an error of loading, as a syntax error would be.
int GuardedLuaSearcher(lua_State* L) {
    const char* module = luaL_checkstring(L, 1);
    lua_getglobal(L, "package");
    if (lua_istable(L, -1)) {
        lua_getfield(L, -1, "path");
        const char* path = lua_tostring(L, -1);
        if (path) {
            const char* name = luaL_gsub(L, module, ".", LUA_DIRSEP);
            const char* rest = path;
            while (*rest) {
                while (*rest == *LUA_PATHSEP) ++rest;
                if (!*rest) break;
                const char* end = rest;
                while (*end && *end != *LUA_PATHSEP) ++end;
                lua_pushlstring(L, rest, static_cast<size_t>(end - rest));
                const char* file = luaL_gsub(L, lua_tostring(L, -1), LUA_PATH_MARK, name);
                if (pyn::CFileUtil::IsFile(file)) {
                    if (FileHoldsBinary(file))
                        return luaL_error(L, "error loading module '%s' from file '%s':\n\t%s", module, file,
                                          kBinaryChunkRefused);
                    break;
                }
                lua_pop(L, 2);
                rest = end;
            }
        }
    }
    lua_settop(L, 1);
    return CallWrapped(L);
}

// Replaces table[key] (the table on top of the stack) by `guard` holding the
// function it replaces.
void Wrap(lua_State* L, const char* key, lua_CFunction guard) {
    lua_getfield(L, -1, key);
    if (lua_isfunction(L, -1)) {
        lua_pushcclosure(L, guard, 1);
        lua_setfield(L, -2, key);
    } else {
        lua_pop(L, 1);
    }
}

}  // namespace

int LoadText(lua_State* L, const char* data, size_t size, const char* name) {
    if (IsBinary(data, size)) {
        lua_pushstring(L, kBinaryChunkRefused);
        return LUA_ERRSYNTAX;
    }
    return luaL_loadbuffer(L, data, size, name);
}

void RefuseBinaryChunks(lua_State* L) {
    lua_pushvalue(L, LUA_GLOBALSINDEX);
    Wrap(L, "loadstring", &GuardedLoadString);
    Wrap(L, "load", &GuardedLoad);
    Wrap(L, "loadfile", &GuardedLoadFile);
    Wrap(L, "dofile", &GuardedDoFile);
    lua_pop(L, 1);
    lua_getglobal(L, "package");
    if (lua_istable(L, -1)) {
        lua_getfield(L, -1, "loaders");
        if (lua_istable(L, -1)) {
            lua_rawgeti(L, -1, 2);
            if (lua_isfunction(L, -1)) {
                lua_pushcclosure(L, &GuardedLuaSearcher, 1);
                lua_rawseti(L, -2, 2);
            } else {
                lua_pop(L, 1);
            }
        }
        lua_pop(L, 1);
    }
    lua_pop(L, 1);
}

}  // namespace orvex

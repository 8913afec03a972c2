// Only Lua source is ever loaded into the engine's states, never a
// precompiled (binary) chunk: Lua 5.1 runs binary chunks without checking
// them, so a crafted one reads and writes memory at will and can crash the
// agent.
#pragma once

#include <cstddef>

struct lua_State;

namespace orvex {

extern const char kBinaryChunkRefused[];  // "binary chunks are not loaded"

// luaL_loadbuffer for source text only: a binary chunk pushes the refusal
// as the error message and gives LUA_ERRSYNTAX.
int LoadText(lua_State* L, const char* data, size_t size, const char* name);

// Makes the state's own loaders (loadstring, load, loadfile, dofile and the
// Lua file searcher of require) refuse binary chunks the same way, as a load
// error; source text loads as before.
void RefuseBinaryChunks(lua_State* L);

}  // namespace orvex

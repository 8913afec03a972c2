// The engine's checked versions of Lua's pattern and repetition functions
// (see CheckedStringFunctions.cpp).
#pragma once

struct lua_State;

namespace orvex {

// Puts them in place of string.find, match, gmatch (and gfind), gsub and
// rep in `L`'s string table.
void UseCheckedStringFunctions(lua_State* L);

}  // namespace orvex

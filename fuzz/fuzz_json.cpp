// orvexJson: the input (after its first byte, which picks the depth
// argument) is a JSON text. JsonToTable converts it at that depth and in
// full; GetJsonValue reads member paths taken from the full conversion;
// GetJsonBuffer and GetJsonArray write what JsonToTable returned, and what
// they write must parse again, with RapidJSON and with JsonToTable itself.
#include <rapidjson/document.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"

using orvexfuzz::Fail;

namespace {

// Pushes the depth argument the selector names; false for none.
bool PushDepth(lua_State* L, uint8_t selector) {
    switch (selector % 8) {
    case 0: return false;
    case 1: lua_pushnil(L); return true;
    case 2: lua_pushnumber(L, -static_cast<double>(selector / 8) - 1); return true;
    case 3:
    case 4: lua_pushnumber(L, selector / 8 % 12); return true;  // 0..11
    case 5: lua_pushnumber(L, selector & 8 ? 1e300 : 2147483647.0); return true;
    case 6: lua_pushstring(L, selector & 8 ? "2" : "deep"); return true;
    default: lua_pushnumber(L, selector & 8 ? NAN : 1.5); return true;
    }
}

// JsonToTable(text [, depth]): one result or none, never an error.
void JsonToTable(lua_State* L, const std::string& text, int depthSelector) {
    lua_pushlstring(L, text.data(), text.size());
    int nargs = 1;
    if (depthSelector >= 0 && PushDepth(L, static_cast<uint8_t>(depthSelector))) ++nargs;
    int top = lua_gettop(L) - nargs;
    if (orvexfuzz::CallScript(L, "orvexJson", "JsonToTable", nargs, LUA_MULTRET) != 0)
        Fail("JsonToTable raised: %s", orvexfuzz::ErrorText(L).c_str());
    int results = lua_gettop(L) - top;
    if (results > 1) Fail("JsonToTable gave %d results", results);
    if (results == 0) lua_pushnil(L);
}

// A JSON text that orvexJson wrote must parse again.
void CheckParsesAgain(lua_State* L, const std::string& written, const char* writer) {
    rapidjson::Document doc;
    doc.Parse(written.data(), written.size());
    if (doc.HasParseError()) Fail("%s wrote text that does not parse: %s", writer, written.c_str());
    JsonToTable(L, written, 3);  // selector 3: depth 0, the whole text back
    if (lua_type(L, -1) != LUA_TSTRING)
        Fail("%s wrote text that JsonToTable does not read: %s", writer, written.c_str());
    lua_pop(L, 1);
}

// GetJsonBuffer and GetJsonArray of the table at `index`.
void WriteTable(lua_State* L, int index) {
    for (const char* fn : {"GetJsonBuffer", "GetJsonArray"}) {
        lua_pushvalue(L, index);
        if (orvexfuzz::CallScript(L, "orvexJson", fn, 1, 1) != 0)
            Fail("%s raised: %s", fn, orvexfuzz::ErrorText(L).c_str());
        if (lua_type(L, -1) != LUA_TSTRING) Fail("%s gave a %s", fn, luaL_typename(L, -1));
        std::string written = orvexfuzz::BytesAt(L, -1);
        lua_pop(L, 1);
        CheckParsesAgain(L, written, fn);
    }
}

// Member paths of the table at `index`: each is (path keys..., key).
void CollectPaths(lua_State* L, int index, std::vector<std::string>& path, std::vector<std::vector<std::string>>& out,
                  size_t limit) {
    lua_pushnil(L);
    while (out.size() < limit && lua_next(L, index) != 0) {
        lua_pushvalue(L, -2);
        std::string key = orvexfuzz::BytesAt(L, -1);
        lua_pop(L, 1);
        path.push_back(key);
        out.push_back(path);
        if (lua_istable(L, -1) && path.size() < 8) CollectPaths(L, lua_gettop(L), path, out, limit);
        path.pop_back();
        lua_pop(L, 1);
    }
}

// GetJsonValue(text, key, path...) gives a string or nothing.
void ReadValue(lua_State* L, const std::string& text, const std::vector<std::string>& keys) {
    int top = lua_gettop(L);
    lua_pushlstring(L, text.data(), text.size());
    lua_pushlstring(L, keys.back().data(), keys.back().size());
    for (size_t i = 0; i + 1 < keys.size(); ++i) lua_pushlstring(L, keys[i].data(), keys[i].size());
    int status = orvexfuzz::CallScript(L, "orvexJson", "GetJsonValue", static_cast<int>(keys.size()) + 1,
                                       LUA_MULTRET);
    if (status != 0) {
        // Only an empty key is refused.
        if (!keys.back().empty() || !orvexfuzz::EndsWith(orvexfuzz::ErrorText(L), "argv error"))
            Fail("GetJsonValue raised: %s", orvexfuzz::ErrorText(L).c_str());
    } else {
        int results = lua_gettop(L) - top;
        if (results > 1 || (results == 1 && lua_type(L, -1) != LUA_TSTRING))
            Fail("GetJsonValue gave %d results, the last a %s", results, luaL_typename(L, -1));
    }
    lua_settop(L, top);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    lua_State* L = orvexfuzz::SharedEngineState();
    lua_settop(L, 0);
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

    JsonToTable(L, text, data[0]);  // index 1: at the input's depth
    JsonToTable(L, text, -1);       // index 2: in full
    if (lua_istable(L, 1)) WriteTable(L, 1);
    if (lua_istable(L, 2)) {
        WriteTable(L, 2);
        std::vector<std::string> path;
        std::vector<std::vector<std::string>> paths;
        CollectPaths(L, 2, path, paths, 24);
        for (const auto& keys : paths) ReadValue(L, text, keys);
    }
    lua_settop(L, 0);
    lua_gc(L, LUA_GCSTEP, 64);
    return 0;
}

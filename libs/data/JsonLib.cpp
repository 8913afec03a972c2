// orvexJson script library: single values out of JSON text, JSON text out of
// flat tables, and JSON text into nested tables, on RapidJSON's DOM.
#include <climits>
#include <cstdint>
#include <string>

#include "JsonDocument.h"
#include "LibraryTables.h"
#include "ScriptBinding.h"

namespace orvex {
namespace {

using rapidjson::Document;
using rapidjson::Value;
using Allocator = Document::AllocatorType;

// JsonToTable holds two stack slots per object level, and a few more at the
// innermost one.
static_assert(2 * json::kMaxNestingDepth + 16 < LUAI_MAXCSTACK, "nesting bound exceeds the Lua stack");

// The member `name` (compared byte by byte, length included; the first of
// equal names) of the object `object`, or null.
const Value* FindMember(const Value& object, const std::string& name) {
    Value key(rapidjson::StringRef(name.data(), static_cast<rapidjson::SizeType>(name.size())));
    auto it = object.FindMember(key);
    return it == object.MemberEnd() ? nullptr : &it->value;
}

// True when a parse of `text` could give a top-level array or object: its
// first byte after a byte-order mark and JSON white space is a bracket or
// brace. Saves a parse of every plain text.
bool MayHoldContainer(const std::string& text) {
    size_t i = json::ByteOrderMarkLength(text.data(), text.size());
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) ++i;
    return i < text.size() && (text[i] == '[' || text[i] == '{');
}

// With embedding on, a text holding a JSON array or object becomes that
// array or object; every other text becomes a JSON string.
Value MemberValue(const std::string& text, bool embed, Allocator& alloc) {
    if (embed && MayHoldContainer(text)) {
        // Parsed straight into the target's pool, one level less deep than
        // a whole document: the result, a member of an object, stays within
        // the bound when it is parsed again.
        Document embedded(&alloc);
        if (json::ParseBounded(embedded, text.data(), text.size(), json::kMaxNestingDepth - 1) &&
            (embedded.IsArray() || embedded.IsObject())) {
            Value moved;
            moved = static_cast<Value&>(embedded);  // transfers the tree
            return moved;
        }
    }
    return Value(text.data(), static_cast<rapidjson::SizeType>(text.size()), alloc);
}

// Appends one member per entry of the table at `index` (a positive index),
// in traversal order: string and number values as texts (or embedded JSON),
// booleans as JSON booleans; other values are skipped. Keys other than
// strings and numbers give the empty name.
void TableToJsonObject(lua_State* L, int index, Value& object, bool embed, Allocator& alloc) {
    ReserveStack(L, 3);
    lua_pushnil(L);
    while (lua_next(L, index) != 0) {
        std::string name;
        int keyType = lua_type(L, -2);
        if (keyType == LUA_TSTRING) {
            name = GetStringArg(L, -2);
        } else if (keyType == LUA_TNUMBER) {
            lua_pushvalue(L, -2);  // read a copy: the traversal key stays a number
            name = GetStringArg(L, -1);
            lua_pop(L, 1);
        }
        int valueType = lua_type(L, -1);
        if (valueType == LUA_TSTRING || valueType == LUA_TNUMBER || valueType == LUA_TBOOLEAN) {
            Value value = valueType == LUA_TBOOLEAN ? Value(lua_toboolean(L, -1) != 0)
                                                    : MemberValue(GetStringArg(L, -1), embed, alloc);
            Value member(name.data(), static_cast<rapidjson::SizeType>(name.size()), alloc);
            object.AddMember(member, value, alloc);
        }
        lua_pop(L, 1);
    }
}

// The depth budget of JsonToTable: each level lowers a positive budget by
// one; a budget that reaches 0 writes the rest as JSON text, a negative one
// never runs out.
void Lower(int& budget) {
    if (budget > 0) --budget;
}

void PushJsonValue(lua_State* L, const Value& value, int budget);

void PushJsonObject(lua_State* L, const Value& object, int budget) {
    Lower(budget);
    if (budget == 0) {
        PushText(L, json::WriteCompact(object));
        return;
    }
    ReserveStack(L, 3);  // the table, a name and its value
    lua_createtable(L, 0, static_cast<int>(object.MemberCount()));
    for (const auto& member : object.GetObject()) {
        lua_pushlstring(L, member.name.GetString(), json::TextLength(member.name));
        PushJsonValue(L, member.value, budget);
        // A fresh table has no metatable, so this is the plain assignment:
        // null removes an earlier member of the same name, later ones win.
        lua_rawset(L, -3);
    }
}

void PushJsonValue(lua_State* L, const Value& value, int budget) {
    Lower(budget);
    switch (value.GetType()) {
    case rapidjson::kNullType:
        lua_pushnil(L);
        break;
    case rapidjson::kFalseType:
        lua_pushboolean(L, 0);
        break;
    case rapidjson::kTrueType:
        lua_pushboolean(L, 1);
        break;
    case rapidjson::kNumberType:
        lua_pushnumber(L, static_cast<lua_Number>(value.GetDouble()));
        break;
    case rapidjson::kStringType:
        lua_pushlstring(L, value.GetString(), json::TextLength(value));
        break;
    case rapidjson::kArrayType: {
        if (budget == 0) {
            PushText(L, json::WriteCompact(value));
            break;
        }
        ReserveStack(L, 2);  // the table and an element
        lua_createtable(L, static_cast<int>(value.Size()), 0);
        int position = 0;
        for (const Value& element : value.GetArray()) {
            PushJsonValue(L, element, budget);
            lua_rawseti(L, -2, ++position);  // null leaves its index empty
        }
        break;
    }
    case rapidjson::kObjectType:
        PushJsonObject(L, value, budget);
        break;
    }
}

// GetJsonValue(text, key [, path keys...]): the string or 32-bit integer
// member `key` of the object named by the path keys (outermost first).
int GetJsonValue(lua_State* L) {
    CheckMinArgCount(L, 2);
    std::string text = GetBytesArg(L, 1);
    std::string key = GetStringArg(L, 2);
    if (text.empty() || key.empty()) ThrowArgvError();

    Document doc;
    if (!json::ParseBounded(doc, text.data(), text.size()) || !doc.IsObject()) return 0;
    const Value* current = &doc;
    for (int i = 3, top = lua_gettop(L); i <= top; ++i) {
        current = FindMember(*current, GetStringArg(L, i));
        if (!current || !current->IsObject()) return 0;
    }
    const Value* found = FindMember(*current, key);
    if (!found) return 0;
    if (found->IsString()) {
        PushText(L, std::string(found->GetString(), json::TextLength(*found)));
    } else if (found->IsInt()) {
        PushText(L, pyn::CStringUtil::IntToString(found->GetInt()));
    } else {
        return 0;
    }
    return 1;
}

// The compact text of the table's members as one JSON object.
Value TableArgToObject(lua_State* L, bool embed, Allocator& alloc) {
    CheckArgCount(L, 1);
    if (!lua_istable(L, 1)) ThrowArgvError();
    Value object(rapidjson::kObjectType);
    TableToJsonObject(L, 1, object, embed, alloc);
    return object;
}

// GetJsonBuffer(table): JSON object text; texts holding JSON arrays or
// objects are embedded as such.
int GetJsonBuffer(lua_State* L) {
    Document doc;
    Value object = TableArgToObject(L, true, doc.GetAllocator());
    PushText(L, json::WriteCompact(object));
    return 1;
}

// GetJsonArray(table): a JSON array holding the table's object, every
// value a JSON string or boolean.
int GetJsonArray(lua_State* L) {
    Document doc;
    Value array(rapidjson::kArrayType);
    Value object = TableArgToObject(L, false, doc.GetAllocator());
    array.PushBack(object, doc.GetAllocator());
    PushText(L, json::WriteCompact(array));
    return 1;
}

// JsonToTable(text [, depth]): the document as nested tables; at the
// depth limit arrays and objects stay JSON text.
int JsonToTable(lua_State* L) {
    CheckMinArgCount(L, 1);
    int budget = -1;
    if (lua_gettop(L) >= 2) {
        int depth = GetIntArg(L, 2);
        // The top-level object takes one unit of a positive budget.
        budget = depth > 0 && depth < INT_MAX ? depth + 1 : depth;
    }
    std::string text = GetBytesArg(L, 1);
    lua_settop(L, 0);  // ignored arguments take no stack room from the tables
    Document doc;
    if (!json::ParseBounded(doc, text.data(), text.size()) || doc.IsNull()) return 0;
    if (budget == 0) {
        PushText(L, json::WriteCompact(doc));
        return 1;
    }
    // Only an object has a table form at the top level.
    if (!doc.IsObject()) return 0;
    PushJsonObject(L, doc, budget);
    return 1;
}

}  // namespace

const luaL_Reg kOrvexJsonLib[] = {
    ORVEX_SCRIPT_FN("GetJsonValue", GetJsonValue),
    ORVEX_SCRIPT_FN("GetJsonBuffer", GetJsonBuffer),
    ORVEX_SCRIPT_FN("GetJsonArray", GetJsonArray),
    ORVEX_SCRIPT_FN("JsonToTable", JsonToTable),
    {nullptr, nullptr},
};

}  // namespace orvex

// orvexJson script library: single values out of JSON text, JSON text out of
// flat tables (written as the table is read), and JSON text into nested
// tables, on RapidJSON.
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

// True when a parse of the text could give a top-level array or object:
// its first byte after a byte-order mark and JSON white space is a bracket
// or brace. Saves a parse of every plain text.
bool MayHoldContainer(const char* text, size_t size) {
    size_t i = json::ByteOrderMarkLength(text, size);
    while (i < size && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) ++i;
    return i < size && (text[i] == '[' || text[i] == '{');
}

// Appends a member's value from its text. With embedding on, a text
// holding a JSON array or object is written as that array or object
// (compact, as parsed; one level less deep than a whole document, so that
// the result stays within the bound when it is parsed again); every other
// text as a JSON string. `embedded` is the writer for the embedded texts,
// kept for the whole table so that its level stack is made once.
void AppendMemberValue(rapidjson::StringBuffer& out, TextView text, bool embed, json::CompactWriter& embedded) {
    if (embed && MayHoldContainer(text.data, text.size)) {
        // Written in place as it is parsed; a text that does not parse whole
        // is taken back and written as a string.
        const size_t mark = out.GetSize();
        embedded.Reset(out);
        if (json::ParseBoundedInto(embedded, text.data, text.size, json::kMaxNestingDepth - 1)) return;
        out.Pop(out.GetSize() - mark);
    }
    json::AppendString(out, text.data, text.size);
}

// Appends one compact JSON object with one member per entry of the table at
// `index` (a positive index), in traversal order: string and number values
// as texts (or embedded JSON), booleans as JSON booleans; other values are
// skipped. Keys other than strings and numbers give the empty name. Written
// as the table is read: no document is built.
void AppendTableObject(lua_State* L, int index, bool embed, rapidjson::StringBuffer& out) {
    ReserveStack(L, 3);  // a key, its value and a copy of a number key
    std::string nameStorage, valueStorage;  // conversions from UTF-8, if any
    json::CompactWriter embedded(out);
    const bool localIsUtf8 = pyn::CStringUtil::LocalIsUtf8();
    bool first = true;
    *out.Push(1) = '{';
    lua_pushnil(L);
    while (lua_next(L, index) != 0) {
        const int value = lua_gettop(L);
        const int valueType = lua_type(L, value);
        if (valueType == LUA_TSTRING || valueType == LUA_TNUMBER || valueType == LUA_TBOOLEAN) {
            TextView name{"", 0};
            const int keyType = lua_type(L, value - 1);
            if (keyType == LUA_TSTRING) {
                name = GetStringView(L, value - 1, nameStorage, localIsUtf8);
            } else if (keyType == LUA_TNUMBER) {
                // Read a copy, kept on the stack while the name is in use:
                // the traversal key stays a number.
                lua_pushvalue(L, value - 1);
                name = GetStringView(L, -1, nameStorage, localIsUtf8);
            }
            if (!first) *out.Push(1) = ',';
            first = false;
            json::AppendString(out, name.data, name.size);
            *out.Push(1) = ':';
            if (valueType == LUA_TBOOLEAN) {
                if (lua_toboolean(L, value))
                    json::AppendRaw(out, "true", 4);
                else
                    json::AppendRaw(out, "false", 5);
            } else {
                AppendMemberValue(out, GetStringView(L, value, valueStorage, localIsUtf8), embed, embedded);
            }
        }
        lua_settop(L, value - 1);
    }
    *out.Push(1) = '}';
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

// Room the text of a table starts with: a few hundred members' worth, so
// that tables of that size take no growth of it.
const size_t kInitialTextRoom = 4096;

// Appends the table argument's members as one JSON object.
void AppendTableArg(lua_State* L, bool embed, rapidjson::StringBuffer& out) {
    CheckArgCount(L, 1);
    if (!lua_istable(L, 1)) ThrowArgvError();
    AppendTableObject(L, 1, embed, out);
}

// GetJsonBuffer(table): JSON object text; texts holding JSON arrays or
// objects are embedded as such.
int GetJsonBuffer(lua_State* L) {
    rapidjson::StringBuffer text(nullptr, kInitialTextRoom);
    AppendTableArg(L, true, text);
    PushText(L, text.GetString(), text.GetSize());
    return 1;
}

// GetJsonArray(table): a JSON array holding the table's object, every
// value a JSON string or boolean.
int GetJsonArray(lua_State* L) {
    rapidjson::StringBuffer text(nullptr, kInitialTextRoom);
    *text.Push(1) = '[';
    AppendTableArg(L, false, text);
    *text.Push(1) = ']';
    PushText(L, text.GetString(), text.GetSize());
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

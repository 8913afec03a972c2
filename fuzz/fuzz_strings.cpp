// The engine's checked string functions (string.find, match, gmatch, gsub
// and rep of every engine state) against Lua's own: the input gives the
// function, the subject, the pattern, the start, the replacement (a
// string, a table or a function) and the count. Both must give the same
// results, or raise the same error. The checked one runs first, inside a
// run with a time limit; a call that the limit ends (a pattern that
// backtracks for long) is not compared, since Lua's own would take as long,
// nor one that the checked matcher refuses as nesting too deep ("pattern
// too complex"), where Lua's own recurses on.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "CheckedStringFunctions.h"
#include "FuzzSupport.h"
#include "LuaStateAllocator.h"
#include "RunControl.h"

using orvexfuzz::Fail;
using orvexfuzz::PushString;

namespace {

const unsigned kTimeLimitMs = 200;
const int kMaxIterations = 2000;  // of a gmatch iterator
enum Op { kFind, kFindPlain, kMatch, kGmatch, kGsubString, kGsubTable, kGsubFunction, kRep, kOps };
const char* const kNames[] = {"find", "find", "match", "gmatch", "gsub", "gsub", "gsub", "rep"};

struct Target {
    orvex::CLuaStateAllocator allocator;
    lua_State* L = nullptr;
    int stock = LUA_NOREF;     // Lua's own functions, by name
    int checked = LUA_NOREF;   // the engine's
    int replacer = LUA_NOREF;  // a Lua function as gsub's replacement
};

Target& TheTarget() {
    static Target* t = [] {
        auto* t = new Target;
        orvex::CRunControl::SetRunTimeLimit(kTimeLimitMs);
        t->L = lua_newstate(&orvex::CLuaStateAllocator::Allocate, &t->allocator);
        if (!t->L) Fail("no Lua state");
        lua_State* L = t->L;
        luaL_openlibs(L);
        lua_getglobal(L, "string");
        lua_pushvalue(L, -1);
        t->stock = luaL_ref(L, LUA_REGISTRYINDEX);
        // A copy: the string table itself gets the checked functions.
        lua_newtable(L);
        lua_pushnil(L);
        while (lua_next(L, -3) != 0) {
            lua_pushvalue(L, -2);
            lua_insert(L, -2);
            lua_rawset(L, -4);
        }
        lua_rawseti(L, LUA_REGISTRYINDEX, t->stock);
        lua_pop(L, 1);
        orvex::UseCheckedStringFunctions(L);
        lua_getglobal(L, "string");
        t->checked = luaL_ref(L, LUA_REGISTRYINDEX);
        if (luaL_loadstring(L, R"(
            return function(whole, ...)
              if whole == nil or #whole % 3 == 0 then return nil end
              if #whole % 3 == 1 then return whole .. select("#", ...) end
              return false
            end)") != 0 ||
            lua_pcall(L, 0, 1, 0) != 0)
            Fail("replacer: %s", lua_tostring(L, -1));
        t->replacer = luaL_ref(L, LUA_REGISTRYINDEX);
        return t;
    }();
    return *t;
}

struct Call {
    int op;
    std::string subject, pattern, replacement;
    bool hasInit, hasCount;
    double init, count;
};


// The values from `from` to the top, as text; pops them.
std::string Describe(lua_State* L, int from) {
    std::string out;
    char number[64];
    for (int i = from; i <= lua_gettop(L); ++i) {
        switch (lua_type(L, i)) {
        case LUA_TNIL: out += "nil;"; break;
        case LUA_TBOOLEAN: out += lua_toboolean(L, i) ? "true;" : "false;"; break;
        case LUA_TNUMBER:
            std::snprintf(number, sizeof number, "%.17g;", lua_tonumber(L, i));
            out += number;
            break;
        case LUA_TSTRING: {
            size_t len = 0;
            const char* s = lua_tolstring(L, i, &len);
            out += "\"" + std::string(s, len) + "\";";
            break;
        }
        default: out += std::string(luaL_typename(L, i)) + ";"; break;
        }
    }
    lua_settop(L, from - 1);
    return out;
}

// string.<name> of `table` (a registry reference) called with the call's
// arguments; every result of it (for gmatch, of every iteration) or its
// error, as text.
std::string Perform(Target& t, int table, const Call& c) {
    lua_State* L = t.L;
    lua_settop(L, 0);
    lua_rawgeti(L, LUA_REGISTRYINDEX, table);
    lua_getfield(L, 1, kNames[c.op]);
    PushString(L, c.subject);
    int nargs = 2;
    if (c.op == kRep) {
        lua_pushnumber(L, c.count);
    } else {
        PushString(L, c.pattern);
        if (c.op == kGsubString) {
            PushString(L, c.replacement);
        } else if (c.op == kGsubTable) {
            lua_createtable(L, 0, 4);
            PushString(L, c.replacement);
            lua_setfield(L, -2, "a");
            lua_pushnumber(L, c.count);
            lua_setfield(L, -2, "1");
            lua_pushboolean(L, 0);
            lua_setfield(L, -2, "b");
            lua_newtable(L);
            lua_setfield(L, -2, "t");
            if (!c.replacement.empty()) {
                PushString(L, c.replacement);
                PushString(L, c.subject);
                lua_rawset(L, -3);
            }
        } else if (c.op == kGsubFunction) {
            lua_rawgeti(L, LUA_REGISTRYINDEX, t.replacer);
        } else if (c.hasInit) {
            lua_pushnumber(L, c.init);
            ++nargs;
        }
        if (c.op == kFindPlain) {
            if (!c.hasInit) lua_pushnil(L), ++nargs;
            lua_pushboolean(L, 1);
            ++nargs;
        }
        if (c.op >= kGsubString && c.op <= kGsubFunction) {
            ++nargs;
            if (c.hasCount) lua_pushnumber(L, c.count), ++nargs;
        }
    }
    if (lua_pcall(L, nargs, LUA_MULTRET, 0) != 0) return "error " + orvexfuzz::ErrorText(L) + ";";
    if (c.op != kGmatch) return Describe(L, 2);
    // The iterator, called until it gives nil.
    std::string out;
    for (int i = 0; i < kMaxIterations; ++i) {
        lua_settop(L, 2);
        lua_pushvalue(L, 2);
        if (lua_pcall(L, 0, LUA_MULTRET, 0) != 0) return out + "error " + orvexfuzz::ErrorText(L) + ";";
        const bool done = lua_isnil(L, 3);
        out += Describe(L, 3) + "\n";
        if (done) break;
    }
    return out;
}

std::string Printable(const std::string& s) {
    std::string out;
    for (unsigned char ch : s.substr(0, 600)) {
        if (ch >= 0x20 && ch < 0x7f) {
            out += static_cast<char>(ch);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", ch);
            out += hex;
        }
    }
    return out;
}

double Number(FuzzedDataProvider& in) {
    static const double kSpecial[] = {NAN,
                                      INFINITY,
                                      -INFINITY,
                                      2147483648.0,
                                      -2147483649.0,
                                      4294967296.0,
                                      1e300,
                                      -1e300,
                                      0.5,
                                      -0.5,
                                      std::numeric_limits<double>::denorm_min()};
    if (in.ConsumeIntegralInRange(0, 7) == 0)
        return kSpecial[in.ConsumeIntegralInRange<size_t>(0, std::size(kSpecial) - 1)];
    return in.ConsumeIntegral<int16_t>();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Target& t = TheTarget();
    FuzzedDataProvider in(data, size);
    Call c;
    c.op = in.ConsumeIntegralInRange(0, kOps - 1);
    c.hasInit = in.ConsumeBool();
    c.init = Number(in);
    c.hasCount = in.ConsumeBool();
    c.count = Number(in);
    c.subject = in.ConsumeRandomLengthString(512);
    // rep's count: a string of at most 64 KiB.
    const double most = 65536.0 / static_cast<double>(c.subject.size() + 1);
    if (c.op == kRep && !(c.count <= most)) c.count = std::isnan(c.count) ? c.count : most;
    c.replacement = in.ConsumeRandomLengthString(32);
    c.pattern = in.ConsumeRemainingBytesAsString();

    std::string checked;
    const char* ended = nullptr;
    {
        orvex::CRunControl::Run run(t.L, t.allocator);
        checked = Perform(t, t.checked, c);
        ended = orvex::CRunControl::EndedBecause();
    }
    if (ended) {
        if (checked.find(ended) == std::string::npos) Fail("a run ended (%s) and the call gave %s", ended,
                                                          Printable(checked).c_str());
        lua_settop(t.L, 0);
        return 0;
    }
    if (checked.find("pattern too complex;") != std::string::npos) {
        lua_settop(t.L, 0);
        return 0;
    }
    const std::string stock = Perform(t, t.stock, c);
    if (checked != stock)
        Fail("string.%s differs from Lua's own:\n checked: %s\n Lua's:   %s", kNames[c.op], Printable(checked).c_str(),
             Printable(stock).c_str());
    lua_settop(t.L, 0);
    lua_gc(t.L, LUA_GCSTEP, 64);
    return 0;
}

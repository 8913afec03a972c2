// The argument readers, result helpers and the wrapper every script
// function is registered through, on a bare Lua state.
#include <gtest/gtest.h>

extern "C" {
#include <lauxlib.h>
#include <lualib.h>
}

#include <stdexcept>

#include "ScriptBinding.h"
#include "TestSupport.h"

namespace {

int g_destroyed = 0;
struct Counted {
    ~Counted() { ++g_destroyed; }
};

int ReadString(lua_State* L) {
    orvex::PushBytes(L, orvex::GetStringArg(L, 1));
    return 1;
}
int ReadBuffer(lua_State* L) {
    orvex::PushBytes(L, orvex::GetBufferArg(L, 1));
    return 1;
}
int ReadInt(lua_State* L) {
    lua_pushinteger(L, orvex::GetIntArg(L, 1));
    return 1;
}
int ReadBool(lua_State* L) {
    orvex::PushBool(L, orvex::GetBoolArg(L, 1));
    return 1;
}
int ListOfThree(lua_State* L) {
    orvex::PushTextList(L, {"a", "b", "c"});
    return 1;
}
// Holds strings, a buffer and an object with a destructor when it fails.
int FailHolding(lua_State* L) {
    orvex::CheckMinArgCount(L, 1);
    Counted counted;
    std::string text = orvex::GetStringArg(L, 1) + std::string(1000, 'x');
    pyn::ByteVector bytes = orvex::GetBufferArg(L, 1);
    std::vector<std::string> many(10, text);
    if (!text.empty() && !bytes.empty() && many.size() == 10) orvex::ThrowArgvError();
    return 0;
}
int ThrowsStd(lua_State*) { throw std::runtime_error("not for scripts"); }
int ThrowsOther(lua_State*) { throw 42; }
int FailsAes(lua_State*) { orvex::ThrowScriptError(orvex::kAesEncryptError); }

const luaL_Reg kTestLib[] = {
    ORVEX_SCRIPT_FN("ReadString", ReadString),   ORVEX_SCRIPT_FN("ReadBuffer", ReadBuffer),
    ORVEX_SCRIPT_FN("ReadInt", ReadInt),         ORVEX_SCRIPT_FN("ReadBool", ReadBool),
    ORVEX_SCRIPT_FN("ListOfThree", ListOfThree), ORVEX_SCRIPT_FN("FailHolding", FailHolding),
    ORVEX_SCRIPT_FN("ThrowsStd", ThrowsStd),     ORVEX_SCRIPT_FN("ThrowsOther", ThrowsOther),
    ORVEX_SCRIPT_FN("FailsAes", FailsAes),       {nullptr, nullptr},
};

class Binding : public ::testing::Test {
protected:
    void SetUp() override {
        L = luaL_newstate();
        luaL_openlibs(L);
        luaL_register(L, "t", kTestLib);
        lua_settop(L, 0);
    }
    void TearDown() override { lua_close(L); }
    // Runs a chunk; returns its first result as text, or "ERR:" + message.
    std::string Eval(const std::string& chunk) {
        if (luaL_loadbuffer(L, chunk.data(), chunk.size(), "test") != 0 || lua_pcall(L, 0, 1, 0) != 0) {
            std::string e = std::string("ERR:") + lua_tostring(L, -1);
            lua_settop(L, 0);
            return e;
        }
        size_t len = 0;
        const char* s = lua_tolstring(L, -1, &len);
        std::string r = s ? std::string(s, len) : std::string(luaL_typename(L, -1));
        lua_settop(L, 0);
        return r;
    }
    lua_State* L = nullptr;
};

TEST_F(Binding, ReadersFollowTheirRules) {
    EXPECT_EQ(Eval("return t.ReadString(12)"), "12");
    EXPECT_EQ(Eval("return t.ReadString(0.5)"), "0.5");
    EXPECT_EQ(Eval("return t.ReadString(true)"), "");
    EXPECT_EQ(Eval("return t.ReadString({})"), "");
    EXPECT_EQ(Eval("return t.ReadString()"), "");
    EXPECT_EQ(Eval("return #t.ReadBuffer('a\\0b\\0')"), "4");
    EXPECT_EQ(Eval("return #t.ReadBuffer(nil)"), "0");
    EXPECT_EQ(Eval("return t.ReadInt('10')"), "10");
    EXPECT_EQ(Eval("return t.ReadInt('ten')"), "0");
    EXPECT_EQ(Eval("return t.ReadInt(12.7)"), "13");
    EXPECT_EQ(Eval("return t.ReadInt(2.5)"), "2");
    EXPECT_EQ(Eval("return t.ReadInt(-0.5)"), "0");
    EXPECT_EQ(Eval("return t.ReadInt(0/0)"), std::to_string(INT_MIN));
    EXPECT_EQ(Eval("return t.ReadInt(true)"), "0");
    EXPECT_EQ(Eval("return tostring(t.ReadBool(true))"), "true");
    EXPECT_EQ(Eval("return tostring(t.ReadBool(1))"), "false");
    EXPECT_EQ(Eval("return tostring(t.ReadBool('true'))"), "false");
}

TEST_F(Binding, TextArgumentsAreConvertedBuffersAreNot) {
    orvextest::CodePageScope latin1("ISO-8859-1");
    // UTF-8 e-acute read as text is one Latin-1 byte; as a buffer it stays two.
    EXPECT_EQ(Eval("return t.ReadString('caf\\195\\169\\0x')"), std::string("caf\xe9\0x", 6));
    EXPECT_EQ(Eval("return t.ReadBuffer('caf\\195\\169\\0x')"), std::string("caf\xc3\xa9\0x", 7));
}

TEST_F(Binding, ListsHaveExactlyTheirIndexes) {
    EXPECT_EQ(Eval("local l = t.ListOfThree() local n = 0 for k in pairs(l) do n = n + 1 end "
                   "return n .. l[1] .. l[2] .. l[3]"),
              "3abc");
}

TEST_F(Binding, FailuresAreRaisedAfterEveryObjectIsGone) {
    g_destroyed = 0;
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(Eval("local ok, e = pcall(t.FailHolding, 'some text') return e"), "argv error");
    EXPECT_EQ(g_destroyed, 100);
    // The caller's position comes first when a Lua function made the call.
    EXPECT_EQ(Eval("return select(2, pcall(function() return t.FailHolding() end))"), "[string \"test\"]:1: argv error");
    EXPECT_EQ(Eval("return select(2, pcall(t.FailsAes))"), "aesEncrypt error.");
    // No C++ exception reaches Lua.
    EXPECT_EQ(Eval("return select(2, pcall(t.ThrowsStd))"), "internal error");
    EXPECT_EQ(Eval("return select(2, pcall(t.ThrowsOther))"), "internal error");
    EXPECT_EQ(Eval("t.FailHolding('x')"), "ERR:[string \"test\"]:1: argv error");
    EXPECT_EQ(lua_gettop(L), 0);
}

}  // namespace

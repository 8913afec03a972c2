// Which texts orvexJson and orvexIni convert between UTF-8 and the local
// code page, checked with ISO-8859-1 as the local code page (where a
// conversion is visible: C3 A9 read as Latin-1 is two characters, and the
// euro sign has no Latin-1 form).
#include <gtest/gtest.h>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include "LuaEngineInterface.h"
#include "TestSupport.h"

namespace {

class DataCodePage : public ::testing::Test {
protected:
    void SetUp() override {
        L = luaL_newstate();
        luaL_openlibs(L);
        luaopen_LuaEngine(L);
        lua_settop(L, 0);
    }
    void TearDown() override { lua_close(L); }

    // Runs `chunk` and returns its one result as bytes ("<nil>" for nil).
    std::string Eval(const std::string& chunk) {
        lua_settop(L, 0);
        if (luaL_dostring(L, ("return " + chunk).c_str()) != 0) return "<error> " + std::string(lua_tostring(L, -1));
        if (lua_isnil(L, 1)) return "<nil>";
        size_t n = 0;
        const char* s = lua_tolstring(L, 1, &n);
        return s ? std::string(s, n) : "<not a string>";
    }

    orvextest::CodePageScope latin1{"ISO-8859-1"};
    lua_State* L = nullptr;
};

const std::string kEAcute = "\xC3\xA9";            // é in UTF-8
const std::string kEAcuteTwice = "\xC3\x83\xC2\xA9";  // C3 A9 read as Latin-1, in UTF-8

TEST_F(DataCodePage, JsonConvertsKeysAndResultsButNotTheDocument) {
    // GetJsonValue: the text is raw, the key converted, the result converted.
    EXPECT_EQ(Eval("orvexJson.GetJsonValue('{\"s\":\"" + kEAcute + "\"}', 's')"), kEAcuteTwice);
    EXPECT_EQ(Eval("orvexJson.GetJsonValue('{\"\xE9\":\"v\"}', '" + kEAcute + "')"), "v");
    // JsonToTable: strings and names raw; text at the depth limit converted.
    EXPECT_EQ(Eval("orvexJson.JsonToTable('{\"s\":\"" + kEAcute + "\"}').s"), kEAcute);
    EXPECT_EQ(Eval("next(orvexJson.JsonToTable('{\"" + kEAcute + "\":1}'))"), kEAcute);
    EXPECT_EQ(Eval("orvexJson.JsonToTable('{\"s\":\"" + kEAcute + "\"}', 0)"), "{\"s\":\"" + kEAcuteTwice + "\"}");
    // GetJsonBuffer / GetJsonArray: keys and values to Latin-1, the text back.
    EXPECT_EQ(Eval("orvexJson.GetJsonBuffer({['" + kEAcute + "'] = '" + kEAcute + "'})"),
              "{\"" + kEAcute + "\":\"" + kEAcute + "\"}");
    EXPECT_EQ(Eval("orvexJson.GetJsonArray({a = '\xE2\x82\xAC'})"), "[{\"a\":\"?\"}]");
}

TEST_F(DataCodePage, IniValuesAreWrittenRawAndReadConverted) {
    orvextest::TempDir dir;
    const std::string path = dir.file("c.ini");
    orvextest::WriteFile(path, "[s]\r\n\xE9 = 1\r\n");
    const std::string quoted = "'" + path + "'";
    EXPECT_EQ(Eval("orvexIni.GetIniValue(" + quoted + ", 's/" + kEAcute + "')"), "1");
    EXPECT_EQ(Eval("orvexIni.SetIniValue(" + quoted + ", 's/v', '" + kEAcute + "') and 'saved'"), "saved");
    EXPECT_EQ(orvextest::ReadFile(path), "[s]\r\n\xE9 = 1\r\nv = " + kEAcute + "\r\n");
    EXPECT_EQ(Eval("orvexIni.GetIniValue(" + quoted + ", 's/v')"), kEAcuteTwice);
}

}  // namespace

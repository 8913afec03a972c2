// orvexLoadLua.LoadModule: the script cases of tests/lua/module_cases.lua
// against a module directory written here, and the runs around them.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

extern "C" {
#include <lauxlib.h>
#include <lualib.h>
}

#include "LuaEngineInterface.h"
#include "LuaEngineManager.h"
#include "TestSupport.h"

using orvextest::TempDir;
using orvextest::WriteScript;

namespace {

// An application directory with a module directory of test modules.
class ModuleDir {
public:
    ModuleDir() : m_scope(m_app.path()) {
        std::filesystem::create_directories(modules() + "/sub");
        Module("tbl", "return {name = 'tbl', n = 3}");
        Module("two", "return 'first', 'second'");
        Module("none", "moduleGlobal = 'set by none'\nfunction moduleFunc(x) return x * 2 end");
        Module("false", "return false");
        Module("nil", "return nil");
        Module("5", "return 'five'");
        Module("sub/inner", "return 'inner'");
        Module("reads", "return callerValue + 1");
        Module("counter", "loads = (loads or 0) + 1\nreturn loads");
        Module("nested", "return orvexLoadLua.LoadModule('tbl').n + 1");
        Module("self", "return orvexLoadLua.LoadModule('self')");
        Module("broken", "return (");
        Module("fails", "error('boom')");
        Module("empty", "");
        WriteScript(modules() + "/plain.lua", "return 'plain'", false);
        // Reachable only by names that leave the module directory.
        WriteScript(file("outside.lua"), "return 'outside'", true);
#ifndef _WIN32
        std::filesystem::create_directories(modules() + "/C:");
        Module("C:/drive", "return 'drive'");
#endif
        CLuaEngineInterface::ClearLuaCache();
    }
    void Module(const std::string& name, const std::string& source) {
        WriteScript(modules() + "/" + name + ".lua", source, true);
    }
    std::string modules() const { return m_app.path() + "/luascript"; }
    std::string file(const std::string& name) const { return m_app.file(name); }

private:
    TempDir m_app;
    orvextest::AppDirScope m_scope;
};

// Runs `script` on a thread of its own, so in a fresh Lua state.
bool RunOnNewThread(bool locked, const std::string& script, std::string& result,
                    const std::vector<std::string>& args) {
    bool ok = false;
    std::thread([&] {
        ok = locked ? CLuaEngineInterface::LockExecLua(script, "", result, args, false)
                    : CLuaEngineInterface::ExecLua(script, "", result, args, false);
    }).join();
    return ok;
}

TEST(ModuleLoader, ScriptCases) {
    ModuleDir dir;
    std::string result;
    EXPECT_TRUE(RunOnNewThread(false, std::string(ORVEX_TEST_LUA_DIR) + "/module_cases.lua", result,
                               {ORVEX_TEST_LUA_DIR, dir.modules()}));
    EXPECT_EQ(result, "ok");
}

TEST(ModuleLoader, LoadsUnderEveryKindOfRun) {
    ModuleDir dir;
    WriteScript(dir.file("main.lua"),
                "local m = orvexLoadLua.LoadModule('tbl')\n"
                "n = m.n * 10\n"
                "t = {name = m.name, inner = orvexLoadLua.LoadModule('sub/inner')}\n"
                "function orvexScriptMain(x) return x .. orvexLoadLua.LoadModule('two') end\n");
    std::string result;
    // The exclusive hold of LockExecLua lets the module load take a shared one.
    EXPECT_TRUE(RunOnNewThread(true, dir.file("main.lua"), result, {"locked "}));
    EXPECT_EQ(result, "locked second");
    EXPECT_TRUE(RunOnNewThread(false, dir.file("main.lua"), result, {"shared "}));
    EXPECT_EQ(result, "shared second");
    EXPECT_EQ(CLuaEngineInterface::GetVarInt(dir.file("main.lua"), "n", false), 30);
    std::map<std::string, std::string> expected{{"name", "tbl"}, {"inner", "inner"}};
    EXPECT_EQ(CLuaEngineInterface::GetVarMap(dir.file("main.lua"), "t", false), expected);
}

TEST(ModuleLoader, RunsInAHostsOwnStateWithoutAWorker) {
    ModuleDir dir;
    const size_t workers = orvex::CLuaEngineManager::Instance().WorkerCountForTesting();
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    luaopen_LuaEngine(L);
    lua_settop(L, 0);
    // The module reads this state's globals: unset, it fails (no value).
    ASSERT_EQ(luaL_dostring(L, "return orvexLoadLua.LoadModule('reads')"), 0);
    EXPECT_EQ(lua_gettop(L), 0);
    ASSERT_EQ(luaL_dostring(L, "callerValue = 1\nreturn orvexLoadLua.LoadModule('reads')"), 0);
    EXPECT_EQ(lua_tointeger(L, -1), 2);
    ASSERT_EQ(luaL_dostring(L, "orvexLoadLua.LoadModule('none')\nreturn moduleGlobal"), 0);
    EXPECT_STREQ(lua_tostring(L, -1), "set by none");
    lua_close(L);
    EXPECT_EQ(orvex::CLuaEngineManager::Instance().WorkerCountForTesting(), workers);
}

}  // namespace

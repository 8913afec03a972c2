// Runs every tests/lua/*_test.lua script through the engine, each on a
// thread of its own (so in a Lua state of its own). A script's
// orvexScriptMain(luaDir, tmpDir, fixtureDir, pluginDir) returns "ok" or
// the list of its failed cases (see tests/lua/helpers.lua).
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <sstream>
#include <filesystem>
#include <thread>

#include "LuaEngineInterface.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

class LuaScript : public ::testing::TestWithParam<std::string> {};

// Checks a script's result: "ok", then one "skipped: case (reason)" line per
// case that cannot run on this platform.
void ExpectPassed(const std::string& name, const std::string& result) {
    std::istringstream lines(result);
    std::string line;
    std::getline(lines, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    EXPECT_EQ(line, "ok") << result;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        EXPECT_EQ(line.rfind("skipped: ", 0), 0u) << result;
        std::cout << "[ SKIPPED  ] " << name << ": " << line.substr(9) << "\n";
    }
}

TEST_P(LuaScript, Passes) {
#ifdef _WIN32
    // The scripts expect what the Linux runs have: UTF-8 as the local code
    // page (Windows would use its ANSI code page).
    orvextest::CodePageScope utf8("UTF-8");
#endif
    orvextest::TempDir tmp;
    const std::string script = std::string(ORVEX_TEST_LUA_DIR) + "/" + GetParam() + "_test.lua";
    std::string result;
    bool ok = false;
    std::thread runner([&] {
        ok = CLuaEngineInterface::ExecLua(
            script, "", result, {ORVEX_TEST_LUA_DIR, tmp.path(), ORVEX_FIXTURE_DIR, ORVEX_PLUGIN_DIR}, false);
    });
    runner.join();
    EXPECT_TRUE(ok);
    ExpectPassed(GetParam(), result);
}

// The same scripts through the shipped library itself: the orvex command
// loads liborvexLuaEngine.so / orvexLuaEngine.dll and calls its exports.
TEST_P(LuaScript, PassesThroughTheSharedLibrary) {
    orvextest::TempDir tmp;
    const std::string script = std::string(ORVEX_TEST_LUA_DIR) + "/" + GetParam() + "_test.lua";
    std::string output;
    int status = orvextest::RunCommand(
        orvextest::ShellQuote(ORVEX_CLI_PATH) + " --code-page UTF-8 run " + orvextest::ShellQuote(script) + " " +
            orvextest::ShellQuote(ORVEX_TEST_LUA_DIR) + " " + orvextest::ShellQuote(tmp.path()) + " " +
            orvextest::ShellQuote(ORVEX_FIXTURE_DIR) + " " + orvextest::ShellQuote(ORVEX_PLUGIN_DIR),
        &output);
    EXPECT_EQ(status, 0) << output;
    ExpectPassed(GetParam(), output);
}

INSTANTIATE_TEST_SUITE_P(Scripts, LuaScript, ::testing::ValuesIn(orvextest::ScriptTestNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace

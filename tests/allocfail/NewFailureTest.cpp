// C++-heap allocation failures: every call of the sweep (tests/lua/
// sweep_cases.lua, run by tests/lua/new_failure_cases.lua) again with the
// 1st, 2nd, ... C++ allocation of its function's body failing. Each failure
// must become "not enough memory" or the call's own outcome: never a crash,
// a std::terminate, an exception through a C library's frames or a leak
// (the sanitizer build checks those).
//
// The failing runs of one call are at most kMaxRunsPerCall, spread evenly
// over its allocations: that covers every allocation of nearly every call,
// and samples the few calls that make hundreds (a process list). Set
// ORVEX_ALLOC_FAILURE_RUNS=n for at most n, or 0 for every allocation.
extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <thread>

#include "FailingOperatorNew.h"
#include "LoopbackHttpServer.h"
#include "LuaEngineInterface.h"
#include "LuaEngineManager.h"
#include "TestComponents.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;

// failnew.arm(n [, fromNth]) and failnew.count(): not script functions, so
// their own allocations are not counted.
int Arm(lua_State* L) {
    failnew::Arm(static_cast<size_t>(lua_tointeger(L, 1)),
                 lua_toboolean(L, 2) ? failnew::Mode::kFromNth : failnew::Mode::kOnlyNth);
    return 0;
}

int Count(lua_State* L) {
    lua_pushinteger(L, static_cast<lua_Integer>(failnew::Disarm()));
    return 1;
}

size_t DescriptorCount() {
    size_t count = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

// The number of open descriptors once it is down to `baseline`, or after a
// bounded wait: a script thread that the sweep started may hold one for a
// moment.
size_t SettledDescriptorCount(size_t baseline) {
    size_t count = DescriptorCount();
    for (int i = 0; i < 100 && count > baseline; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        count = DescriptorCount();
    }
    return count;
}

// failnew.descriptors([baseline]): the number of open descriptors (settled
// down to `baseline` when given).
int Descriptors(lua_State* L) {
    const size_t baseline = lua_isnumber(L, 1) ? static_cast<size_t>(lua_tointeger(L, 1)) : 0;
    lua_pushinteger(L, static_cast<lua_Integer>(lua_isnumber(L, 1) ? SettledDescriptorCount(baseline)
                                                                    : DescriptorCount()));
    return 1;
}

const char kMaxRunsPerCall[] = "64";

std::string MaxRuns() {
    const char* text = std::getenv("ORVEX_ALLOC_FAILURE_RUNS");
    return text && *text ? text : kMaxRunsPerCall;
}

// Open descriptors of the process: a failure path that loses one would not
// show as a leak of memory.
std::vector<std::string> OpenDescriptors() {
    std::vector<std::string> open;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd"))
        open.push_back(entry.path().filename().string() + " " + fs::read_symlink(entry.path(), ec).string());
    return open;
}

// Runs the failure sweep of the libraries `only` ("" = all) on a thread of
// its own and gives its result.
std::string FailureSweep(const std::string& scratch, const std::string& only, const std::string& httpBase = "") {
    // Numbers given as paths name files in the current directory: keep them
    // in the scratch directory.
    orvextest::CurrentDirScope cwd(scratch);
    orvextest::LogCapture quiet;
    const std::vector<std::string> descriptors = OpenDescriptors();
    std::string result;
    bool ok = false;
    std::thread runner([&] {
        orvex::CLuaEngineManager& engine = orvex::CLuaEngineManager::Instance();
        {
            std::shared_ptr<orvex::CLuaWorker> worker = engine.GetThreadWorker();
            lua_State* L = worker->State();
            const luaL_Reg functions[] = {{"arm", &Arm}, {"count", &Count}, {"descriptors", &Descriptors}, {nullptr, nullptr}};
            luaL_register(L, "failnew", functions);
            lua_pop(L, 1);
        }
        ok = CLuaEngineInterface::ExecLua(std::string(ORVEX_TEST_LUA_DIR) + "/new_failure_cases.lua", "", result,
                                          {ORVEX_TEST_LUA_DIR, scratch, "0" /* not Windows */, only, MaxRuns(), httpBase},
                                          false);
        engine.ReleaseThreadWorker();
    });
    runner.join();
    EXPECT_TRUE(ok) << result;
    SettledDescriptorCount(descriptors.size());
    const std::vector<std::string> after = OpenDescriptors();
    EXPECT_EQ(after.size(), descriptors.size()) << ::testing::PrintToString(after);
    std::cout << "[ ALLOCFAIL] " << (only.empty() ? "all libraries" : only) << ": "
              << result.substr(0, result.find('\n')) << "\n";
    return result;
}

TEST(NewFailure, EveryScriptFunctionTurnsAFailedAllocationIntoItsResult) {
    orvextest::TempDir bare;
    orvextest::TempDir serverWork;
    orvextest::HttpTestServer server(bare.path(), serverWork.path());
    ORVEX_REQUIRE_HTTP_SERVER(server);
    const std::string all = FailureSweep(bare.path(), "", server.url(""));
    EXPECT_EQ(all.rfind("libraries 15 calls ", 0), 0u) << all;
    EXPECT_EQ(all.find('\n'), std::string::npos) << all;

    orvextest::TestConfig config;
    orvextest::TestNetWork net;
    orvextest::TestIpc ipc;
    orvextest::TestKorin korin;
    orvextest::TestWafRule rules;
    orvextest::ComponentScope scope(&config, &net, &ipc, &korin, &rules);
    orvextest::TempDir installed;
    const std::string host = FailureSweep(installed.path(), "orvexConfig orvexNetWork orvexIpc orvexKorin");
    EXPECT_EQ(host.rfind("libraries 4 calls ", 0), 0u) << host;
    EXPECT_EQ(host.find('\n'), std::string::npos) << host;
}

}  // namespace

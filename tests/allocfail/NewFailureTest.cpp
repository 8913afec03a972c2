// C++-heap allocation failures: every call of the sweep (tests/lua/
// sweep_cases.lua, run by tests/lua/new_failure_cases.lua) again with the
// 1st, 2nd, ... C++ allocation of its function's body failing. Each failure
// must become "not enough memory" or the call's own outcome: never a crash,
// a std::terminate, an exception through a C library's frames or a leak
// (the sanitizer build checks those).
//
// The calls that wait (a sleep, commands, HTTP transfers) also run under a
// run time limit that ends them, each failing run a run of its own: the
// outcome is the limit or the lack of memory, and nothing the call held (a
// descriptor, a command's supervisor, a temporary) stays.
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

#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <thread>

#include "FailingOperatorNew.h"
#include "LoopbackHttpServer.h"
#include "LuaEngineInterface.h"
#include "LuaEngineManager.h"
#include "OrvexEngine.h"
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

// The test's functions in the calling thread's Lua state.
void RegisterFailNew(orvex::CLuaEngineManager& engine) {
    lua_State* L = engine.GetThreadWorker()->State();
    const luaL_Reg functions[] = {{"arm", &Arm}, {"count", &Count}, {"descriptors", &Descriptors}, {nullptr, nullptr}};
    luaL_register(L, "failnew", functions);
    lua_pop(L, 1);
}

// As new_failure_cases.lua picks them: all of 1..count, or `maxRuns`
// spread evenly from the first to the last (0: all).
std::vector<size_t> Picks(size_t count, size_t maxRuns) {
    std::vector<size_t> list;
    if (maxRuns == 0 || count <= maxRuns) {
        for (size_t n = 1; n <= count; ++n) list.push_back(n);
    } else {
        for (size_t i = 0; i < maxRuns; ++i) list.push_back(1 + i * (count - 1) / (maxRuns - 1));
    }
    return list;
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

// What whole-file writes left below `dir`: their temporaries are hidden
// files beside the target (".<name>.<tag><unique>"), and the sweep names no
// hidden file of its own.
std::vector<std::string> Temporaries(const std::string& dir) {
    std::vector<std::string> left;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, fs::directory_options::none, ec), end; !ec && it != end;
         it.increment(ec)) {
        if (it->path().filename().string().rfind('.', 0) == 0) left.push_back(it->path().string());
    }
    return left;
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
        RegisterFailNew(engine);
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
    const std::vector<std::string> temporaries = Temporaries(scratch);
    EXPECT_TRUE(temporaries.empty()) << ::testing::PrintToString(temporaries);
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

    orvextest::InstalledComponents components;
    orvextest::TempDir installed;
    const std::string host = FailureSweep(installed.path(), "orvexConfig orvexNetWork orvexIpc orvexKorin");
    EXPECT_EQ(host.rfind("libraries 4 calls ", 0), 0u) << host;
    EXPECT_EQ(host.find('\n'), std::string::npos) << host;
}

// Each call waits far longer than the run may take; failnew.arm is the
// first thing the run does, so only the call's own allocations are counted.
const char kWaitingCalls[] =
    "function orvexScriptMain(which, n, child, base, target)\n"
    "  local U = orvexUtil\n"
    "  failnew.arm(tonumber(n))\n"
    "  if which == 'msleep' then U.msleep(60000)\n"
    "  elseif which == 'ExecCommand' then U.ExecCommand(child, 0, 'sleep', '60')\n"
    "  elseif which == 'Exec' then\n"
    "    local sleeper = \"'\" .. child .. \"' sleep 60\"\n"
    "    U.Exec(sleeper .. ' & ' .. sleeper)\n"
    "  elseif which == 'HttpGetToBuffer' then U.HttpGetToBuffer(base .. '/slow/5000')\n"
    "  elseif which == 'HttpGetToFile' then U.HttpGetToFile(base .. '/slow/5000', target)\n"
    "  end\n"
    "  return 'returned'\n"
    "end\n";

const char kTimeLimitExceeded[] = "script time limit exceeded";
const char kReturned[] = "returned";

bool OutOfMemory(const std::string& result) {
    const std::string tail = "not enough memory";
    return result.size() >= tail.size() && result.compare(result.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(NewFailure, ACallEndedByTheRunLimitReleasesWhatItHeldWhereverAnAllocationFails) {
    orvextest::TempDir bare;
    orvextest::TempDir serverWork;
    orvextest::HttpTestServer server(bare.path(), serverWork.path());
    ORVEX_REQUIRE_HTTP_SERVER(server);
    orvextest::TempDir scratch;
    orvextest::LogCapture quiet;
    const std::string script = scratch.file("waiting.lua");
    orvextest::WriteFile(script, kWaitingCalls);
    const std::string downloads = scratch.file("downloads");
    fs::create_directory(downloads);
    const size_t maxRuns = static_cast<size_t>(std::atoll(MaxRuns().c_str()));

    struct LimitScope {
        LimitScope() { orvexSetRunTimeLimit(200); }
        ~LimitScope() { orvexSetRunTimeLimit(0); }
    } limit;
    std::thread runner([&] {
        orvex::CLuaEngineManager& engine = orvex::CLuaEngineManager::Instance();
        RegisterFailNew(engine);
        for (const char* which : {"msleep", "ExecCommand", "Exec", "HttpGetToBuffer", "HttpGetToFile"}) {
            const size_t descriptors = DescriptorCount();
            // One run with allocation `n` failing (0: none): its result and
            // the count of allocations its call made.
            auto run = [&](size_t n) {
                std::string result;
                const bool ok = CLuaEngineInterface::ExecLua(
                    script, "", result,
                    {which, std::to_string(n), ORVEX_TEST_CHILD, server.url(""), downloads + "/got"}, false);
                const size_t count = failnew::Disarm();
                SCOPED_TRACE(std::string(which) + " with allocation " + std::to_string(n) + " failing");
                // An error of the script's is its result; an ended run fails.
                EXPECT_EQ(ok, result != kTimeLimitExceeded) << result;
                // The command's supervisor was reaped, every descriptor closed
                // and no temporary of the download left.
                int status = 0;
                EXPECT_LE(waitpid(-1, &status, WNOHANG), 0);
                EXPECT_EQ(SettledDescriptorCount(descriptors), descriptors)
                    << ::testing::PrintToString(OpenDescriptors());
                EXPECT_TRUE(fs::is_empty(downloads));
                return std::make_pair(result, count);
            };
            const auto whole = run(0);
            // A wait cut at the run's deadline may end a moment before the
            // run's next check would see it: the script then returns.
            EXPECT_TRUE(whole.first == kTimeLimitExceeded || whole.first == kReturned) << which << ": " << whole.first;
            size_t outOfMemory = 0, returned = 0;
            const std::vector<size_t> picks = Picks(whole.second, maxRuns);
            for (size_t n : picks) {
                const std::string result = run(n).first;
                // The limit, the lack of memory, or the call's own failure
                // result before the limit (the script then returns).
                if (OutOfMemory(result))
                    ++outOfMemory;
                else if (result == kReturned)
                    ++returned;
                else
                    EXPECT_EQ(result, kTimeLimitExceeded) << which << " with allocation " << n << " failing";
            }
            std::cout << "[ ALLOCFAIL] " << which << " ended by the run limit: " << whole.second << " allocations, "
                      << picks.size() << " runs: " << outOfMemory << " ran out of memory, " << returned
                      << " returned\n";
        }
        engine.ReleaseThreadWorker();
    });
    runner.join();
}

}  // namespace

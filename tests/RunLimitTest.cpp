// Bounds of runs the host sets (time limit, state memory limit, the stop
// call) and the engine's statistics.
#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "LuaEngineInterface.h"
#include "OrvexHost.h"
#include "TestSupport.h"
#include "pyn/ThreadUtil.h"

namespace {

using Clock = std::chrono::steady_clock;
using orvextest::TempDir;
using orvextest::WriteScript;

// Slower builds overshoot a deadline by more: the check itself comes every
// thousand instructions, what is left is the machine's scheduling.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(_WIN32)
constexpr auto kLate = std::chrono::milliseconds(1000);
#else
constexpr auto kLate = std::chrono::milliseconds(100);
#endif

class RunLimits : public ::testing::Test {
protected:
    void TearDown() override {
        orvexSetRunTimeLimit(0);
        orvexSetScriptThreadTimeLimit(0);
        orvexSetStateMemoryLimit(0);
    }
    std::string Script(const std::string& name, const std::string& source, bool encoded = false) {
        WriteScript(dir.file(name), source, encoded);
        return dir.file(name);
    }
    TempDir dir;
};

struct Outcome {
    bool ok = false;
    std::string result;
    std::chrono::milliseconds took{0};
};

Outcome Exec(const std::string& script, const std::vector<std::string>& args = {}, bool locked = false) {
    Outcome o;
    const auto start = Clock::now();
    o.ok = locked ? CLuaEngineInterface::LockExecLua(script, "", o.result, args, false)
                  : CLuaEngineInterface::ExecLua(script, "", o.result, args, false);
    o.took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    return o;
}

// `calls` on a thread of its own (a fresh Lua state), which ends afterwards.
void OnNewThread(const std::function<void()>& calls) { std::thread(calls).join(); }

bool WaitUntil(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool Exists(const std::string& path) { return !orvextest::ReadFile(path).empty(); }

TEST_F(RunLimits, ARunOverItsTimeEndsAtTheLimitWhateverItCatches) {
    const std::string busy = Script("busy.lua", "function orvexScriptMain() while true do end end\n");
    const std::string stubborn = Script("stubborn.lua",
                                        "function orvexScriptMain()\n"
                                        "  while true do\n"
                                        "    pcall(function() while true do end end)\n"
                                        "    local co = coroutine.wrap(function() while true do end end)\n"
                                        "    pcall(co)\n"
                                        "  end\n"
                                        "end\n");
    const std::string caught = Script("caught.lua",
                                      "function orvexScriptMain() return select(2, pcall(function() "
                                      "while true do end end)) end\n");
    const std::string inChunk = Script("chunk.lua", "while true do end\n");
    const std::string sleeper = Script("sleep.lua", "function orvexScriptMain() orvexUtil.msleep(60000) end\n");
    const std::string command = Script("command.lua",
                                       "function orvexScriptMain(child) "
                                       "return orvexUtil.ExecCommand(child, 0, 'sleep', '60') end\n");
    const std::string unhooked = Script("unhook.lua",
                                        "function orvexScriptMain() pcall(debug.sethook) "
                                        "pcall(debug.sethook, function() end, '', 0) while true do end end\n");
    // Lua's pattern functions are one C call each; a pattern that
    // backtracks for minutes still ends at the limit, caught or not.
    const std::string backtracking = "local s, p = ('a'):rep(24), ('a*'):rep(12) .. 'b'\n";
    const std::string patterns = Script("patterns.lua", backtracking +
                                                            "function orvexScriptMain(how)\n"
                                                            "  if how == 'find' then return s:find(p) end\n"
                                                            "  if how == 'match' then while true do pcall(string.match, s, p) end end\n"
                                                            "  if how == 'gmatch' then for x in s:gmatch(p) do end end\n"
                                                            "  if how == 'plain' then\n"
                                                            "    local a = ('a'):rep(2^20)\n"
                                                            "    return a:find(a:sub(2^19) .. 'b', 1, true)\n"
                                                            "  end\n"
                                                            "  return s:gsub(p, '')\n"
                                                            "end\n");
    const std::string again = Script("again.lua", "n = (n or 0) + 1\nfunction orvexScriptMain() return n end\n");
    const auto limit = std::chrono::milliseconds(300);
    orvexSetRunTimeLimit(static_cast<unsigned>(limit.count()));
    OnNewThread([&] {
        for (const std::string& script : {busy, stubborn, caught, inChunk, sleeper, command, unhooked}) {
            Outcome o = Exec(script, {ORVEX_TEST_CHILD});
            EXPECT_FALSE(o.ok) << script;
            EXPECT_EQ(o.result, "script time limit exceeded") << script;
            EXPECT_GE(o.took, limit) << script;
            EXPECT_LT(o.took, limit + kLate) << script;
        }
        for (const char* how : {"find", "match", "gmatch", "plain", "gsub"}) {
            Outcome o = Exec(patterns, {how});
            EXPECT_FALSE(o.ok) << how;
            EXPECT_EQ(o.result, "script time limit exceeded") << how;
            EXPECT_LT(o.took, limit + kLate) << how;
        }
        // The state is the same one and works.
        EXPECT_EQ(Exec(again).result, "1");
        EXPECT_EQ(Exec(again).result, "2");
        EXPECT_EQ(CLuaEngineInterface::GetVarInt(inChunk, "x", false), 0);
    });
    // A limit set anew applies to the next run; none at all leaves runs alone.
    orvexSetRunTimeLimit(0);
    const std::string quick = Script("quick.lua",
                                     "function orvexScriptMain() local t = os.clock() "
                                     "while os.clock() - t < 0.4 do end return 'done' end\n");
    OnNewThread([&] { EXPECT_EQ(Exec(quick).result, "done"); });
}

TEST_F(RunLimits, AMemoryBombIsRefusedWhileOtherStatesWork) {
    const std::string bomb = Script("bomb.lua",
                                    "function orvexScriptMain()\n"
                                    "  hoard = {}\n"
                                    "  while true do hoard[#hoard + 1] = ('x'):rep(1000) .. #hoard end\n"
                                    "end\n");
    const std::string caught = Script("caught.lua",
                                      "function orvexScriptMain()\n"
                                      "  local t = {}\n"
                                      "  pcall(function() while true do t[#t + 1] = ('y'):rep(500) .. #t end end)\n"
                                      "  t = nil\n"
                                      "  return 'carried on'\n"
                                      "end\n");
    const std::string small = Script("small.lua",
                                     "function orvexScriptMain() local t = {} for i = 1, 1000 do t[i] = i end "
                                     "return orvexJson.GetJsonBuffer({n = #t}) end\n");
    orvexSetStateMemoryLimit(4 << 20);
    std::atomic<bool> stop{false};
    std::atomic<int> otherRuns{0}, otherFailures{0};
    std::thread other([&] {
        while (!stop) {
            Outcome o = Exec(small);
            ++otherRuns;
            if (!o.ok || o.result != "{\"n\":\"1000\"}") ++otherFailures;
        }
    });
    OnNewThread([&] {
        for (const std::string& script : {bomb, caught}) {
            Outcome o = Exec(script);
            EXPECT_FALSE(o.ok) << script;
            EXPECT_EQ(o.result, "not enough memory") << script;
            // The thread's next call works: the hoard was kept in a global,
            // so the state was replaced.
            EXPECT_EQ(Exec(small).result, "{\"n\":\"1000\"}") << script;
        }
    });
    stop = true;
    other.join();
    EXPECT_GT(otherRuns.load(), 0);
    EXPECT_EQ(otherFailures.load(), 0);
}

TEST_F(RunLimits, TheStopCallEndsRunsAndScriptThreadsButNotLaterRuns) {
    const char* spinSource =
        "function orvexScriptMain(mark)\n"
        "  local f = io.open(mark, 'w'); f:write('1'); f:close()\n"
        "  while true do pcall(function() while true do end end) end\n"
        "end\n";
    const std::string spin = Script("spin.lua", spinSource, true);  // for script threads
    const std::string agentSpin = Script("agent.lua", spinSource);
    const std::string sleeper = Script("sleeper.lua",
                                       "function orvexScriptMain(mark)\n"
                                       "  local f = io.open(mark, 'w'); f:write('1'); f:close()\n"
                                       "  orvexUtil.msleep(60000)\n"
                                       "end\n",
                                       true);
    const std::string starter = Script("starter.lua",
                                       "function orvexScriptMain(spin, sleeper, m1, m2)\n"
                                       "  return tostring(orvexThread.CreateThreadWithScript('t1', spin, m1) and\n"
                                       "    orvexThread.CreateThreadWithScript('t2', sleeper, m2))\n"
                                       "end\n");
    const std::string running = Script("running.lua",
                                       "function orvexScriptMain(name) return "
                                       "tostring(orvexThread.IsThreadRunning(name)) end\n");
    const std::string commandRun = Script("command.lua",
                                          "function orvexScriptMain(child, mark)\n"
                                          "  local f = io.open(mark, 'w'); f:write('1'); f:close()\n"
                                          "  return orvexUtil.ExecCommand(child, 0, 'sleep', '60')\n"
                                          "end\n");
    Outcome agent, inCommand;
    std::thread runner([&] { agent = Exec(agentSpin, {dir.file("agent")}); });
    std::thread commander([&] { inCommand = Exec(commandRun, {ORVEX_TEST_CHILD, dir.file("command")}); });
    orvextest::LogCapture log;
    EXPECT_EQ(Exec(starter, {spin, sleeper, dir.file("m1"), dir.file("m2")}).result, "true");
    EXPECT_TRUE(WaitUntil([&] {
        return Exists(dir.file("agent")) && Exists(dir.file("command")) && Exists(dir.file("m1")) &&
               Exists(dir.file("m2"));
    }));
    // Time for the command to be under way: the stop must end its wait.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    orvexStopAllRuns();
    runner.join();
    commander.join();
    EXPECT_FALSE(agent.ok);
    EXPECT_EQ(agent.result, "script stopped");
    EXPECT_FALSE(inCommand.ok);
    EXPECT_EQ(inCommand.result, "script stopped");
    EXPECT_LT(inCommand.took, std::chrono::seconds(30));
    ASSERT_TRUE(WaitUntil([&] {
        return Exec(running, {"t1"}).result == "false" && Exec(running, {"t2"}).result == "false";
    }));
    EXPECT_TRUE(log.contains("ThreadFunction ExecLua Fail : script stopped"));
    // Runs that start after the call run normally.
    const std::string quick = Script("quick.lua", "function orvexScriptMain() return 'ran' end\n");
    EXPECT_EQ(Exec(quick).result, "ran");
}

TEST_F(RunLimits, LockExecLuaGetsTheLockOnceTheLimitEndsARunawayRun) {
    const std::string runaway = Script("runaway.lua",
                                       "function orvexScriptMain(mark)\n"
                                       "  local f = io.open(mark, 'w'); f:write('1'); f:close()\n"
                                       "  while true do end\n"
                                       "end\n");
    const std::string exclusive = Script("exclusive.lua", "function orvexScriptMain() return 'exclusive' end\n");
    orvexSetRunTimeLimit(500);
    Outcome first, second;
    std::thread a([&] { first = Exec(runaway, {dir.file("mark")}); });
    ASSERT_TRUE(WaitUntil([&] { return Exists(dir.file("mark")); }));
    std::thread b([&] { second = Exec(exclusive, {}, true); });
    a.join();
    b.join();
    EXPECT_EQ(first.result, "script time limit exceeded");
    EXPECT_TRUE(second.ok);
    EXPECT_EQ(second.result, "exclusive");
}

TEST_F(RunLimits, ScriptThreadsHaveALimitOfTheirOwn) {
    const std::string spin = Script("spin.lua", "function orvexScriptMain() while true do end end\n", true);
    const std::string starter = Script("starter.lua",
                                       "function orvexScriptMain(spin) return "
                                       "tostring(orvexThread.CreateThreadWithScript('limited', spin)) end\n");
    const std::string running = Script("running.lua",
                                       "function orvexScriptMain() return "
                                       "tostring(orvexThread.IsThreadRunning('limited')) end\n");
    orvexSetRunTimeLimit(100);
    orvexSetScriptThreadTimeLimit(400);
    orvextest::LogCapture log;
    ASSERT_EQ(Exec(starter, {spin}).result, "true");
    // Past the run limit, within its own: still running.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(Exec(running).result, "true");
    ASSERT_TRUE(WaitUntil([&] { return Exec(running).result == "false"; }));
    EXPECT_TRUE(log.contains("ThreadFunction ExecLua Fail : script time limit exceeded"));
}

// One thread's known sequence of runs, as the statistics count them.
TEST_F(RunLimits, StatisticsCountTheRunsOfEachState) {
    const std::string ok = Script("ok.lua", "function orvexScriptMain() return 'fine' end\n");
    const std::string no = Script("no.lua", "function orvexScriptMain() return false end\n");
    const std::string busy = Script("busy.lua", "function orvexScriptMain() while true do end end\n");
    const std::string grow = Script("grow.lua",
                                    "function orvexScriptMain() local t = {} for i = 1, 20000 do "
                                    "t[i] = tostring(i) end end\n");
    const std::string encoded = Script("enc.lua", "function orvexScriptMain() return 'enc' end\n", true);
    uint32_t thread = 0;
    std::string json;
    OnNewThread([&] {
        thread = pyn::CThreadUtil::GetCurrentThreadId();
        Exec(ok);
        Exec(ok);
        Exec(no);
        orvexSetRunTimeLimit(200);  // for this run only: a loaded machine may be slow
        Exec(busy);
        orvexSetRunTimeLimit(0);
        Exec(grow);
        CLuaEngineInterface::ExecLua(encoded, "", json, {}, true);
        CLuaEngineInterface::ExecLua(encoded, "", json, {}, true);
        json.assign(orvexGetStatistics(nullptr, 0), '\0');
        json.resize(orvexGetStatistics(&json[0], json.size()));
    });
    rapidjson::Document doc;
    doc.Parse(json.c_str(), json.size());
    ASSERT_FALSE(doc.HasParseError()) << json;
    const rapidjson::Value* state = nullptr;
    for (const auto& s : doc["states"].GetArray())
        if (s["thread"].GetUint() == thread) state = &s;
    ASSERT_NE(state, nullptr) << json;
    EXPECT_EQ((*state)["runs"].GetUint64(), 7u) << json;
    EXPECT_EQ((*state)["failedRuns"].GetUint64(), 2u) << json;
    EXPECT_EQ((*state)["timeouts"].GetUint64(), 1u) << json;
    EXPECT_EQ((*state)["stops"].GetUint64(), 0u) << json;
    EXPECT_GE((*state)["runTimeMs"].GetDouble(), 200.0) << json;
    EXPECT_GT((*state)["peakBytes"].GetUint64(), 20000u * 16) << json;
    EXPECT_GE((*state)["peakBytes"].GetUint64(), (*state)["bytes"].GetUint64()) << json;
    EXPECT_EQ(doc["limits"]["runTimeMs"].GetUint(), 0u);
    EXPECT_GE(doc["sourceCache"]["hits"].GetUint64(), 1u) << json;
    EXPECT_GE(doc["sourceCache"]["entries"].GetUint64(), 1u) << json;
    EXPECT_TRUE(doc["engineLock"].HasMember("waits"));
    EXPECT_TRUE(doc["scriptThreads"].HasMember("started"));
}

}  // namespace

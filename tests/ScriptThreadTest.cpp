// orvexThread: named script threads, their arguments, their failures, their
// workers, and what happens to them at process exit and library unload.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

extern "C" {
#include <lauxlib.h>
#include <lualib.h>
}

#include "LuaEngineInterface.h"
#include "LuaEngineManager.h"
#include "OrvexHost.h"
#include "ScriptThreads.h"
#include "TestSupport.h"

using orvex::CScriptThreadManager;
using orvextest::ReadFile;
using orvextest::TempDir;
using orvextest::WriteScript;

namespace {

// Thread script: records its arguments in `record`, then waits until the
// file `release` exists ("" = no wait).
const char kRecordScript[] =
    "local function exists(p) local f = io.open(p) if f then f:close() end return f ~= nil end\n"
    "function orvexScriptMain(record, release, ...)\n"
    "  local parts = {}\n"
    "  for i = 1, select('#', ...) do parts[i] = type((select(i, ...))) .. ':' .. (select(i, ...)) end\n"
    "  local f = io.open(record, 'w'); f:write(table.concat(parts, '|')); f:close()\n"
    "  while release ~= '' and not exists(release) do os.execute('sleep 0.01') end\n"
    "end\n";

// Agent-side script: functions that reach orvexThread.
const char kAgentScript[] =
    "function start(name, script, ...) return tostring(orvexThread.CreateThreadWithScript(name, script, ...)) end\n"
    "function running(name) return tostring(orvexThread.IsThreadRunning(name)) end\n"
    "function startTyped(name, script, record)\n"
    "  return tostring(orvexThread.CreateThreadWithScript(name, script, record, '', 'a', 12, true, '', 'd'))\n"
    "end\n"
    "function startUtf8(name, script, record)\n"
    "  return tostring(orvexThread.CreateThreadWithScript(name, script, record, '', 'caf\\195\\169 \\228\\184\\173'))\n"
    "end\n"
    "function argErrors()\n"
    "  local errs = {}\n"
    "  for _, args in ipairs({{}, {'only'}, {'', 'x'}, {'x', ''}, {true, 'x'}}) do\n"
    "    local ok, err = pcall(orvexThread.CreateThreadWithScript, unpack(args))\n"
    "    errs[#errs + 1] = ok and 'no error' or err:match('argv error$') or err\n"
    "  end\n"
    "  for _, args in ipairs({{}, {'a', 'b'}, {''}}) do\n"
    "    local ok, err = pcall(orvexThread.IsThreadRunning, unpack(args))\n"
    "    errs[#errs + 1] = ok and 'no error' or err:match('argv error$') or err\n"
    "  end\n"
    "  return table.concat(errs, ',')\n"
    "end\n";

bool WaitUntil(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

bool Running(const std::string& name) { return CScriptThreadManager::Instance().IsScriptThreadRunning(name); }

class ScriptThreads : public ::testing::Test {
protected:
    void SetUp() override {
        WriteScript(dir.file("agent.lua"), kAgentScript);
        WriteScript(dir.file("record.lua"), kRecordScript, true);
    }
    // Calls a function of the agent script on a thread of its own.
    std::string Agent(const std::string& function, const std::vector<std::string>& args) {
        std::string result;
        std::thread([&] {
            if (!CLuaEngineInterface::ExecLua(dir.file("agent.lua"), function, result, args, false))
                result = "failed: " + result;
        }).join();
        return result;
    }
    std::string Start(const std::string& name, const std::string& script, const std::vector<std::string>& rest) {
        std::vector<std::string> args{name, script};
        args.insert(args.end(), rest.begin(), rest.end());
        return Agent("start", args);
    }
    TempDir dir;
};

TEST_F(ScriptThreads, OneThreadPerNameUntilItEnds) {
    const std::string script = dir.file("record.lua");
    ASSERT_EQ(Start("dup", script, {dir.file("rec1"), dir.file("go1")}), "true");
    ASSERT_TRUE(WaitUntil([&] { return Exists(dir.file("rec1")); }));
    EXPECT_EQ(Agent("running", {"dup"}), "true");

    // Same name while it runs: refused, the running thread is left alone.
    EXPECT_EQ(Start("dup", script, {dir.file("rec2"), ""}), "false");
    EXPECT_EQ(Agent("running", {"dup"}), "true");
    EXPECT_EQ(Agent("running", {"never used"}), "false");

    orvextest::WriteFile(dir.file("go1"), "");
    ASSERT_TRUE(WaitUntil([] { return !Running("dup"); }));
    EXPECT_EQ(Agent("running", {"dup"}), "false");
    EXPECT_FALSE(Exists(dir.file("rec2")));

    // Once it has ended the name starts a new thread.
    EXPECT_EQ(Start("dup", script, {dir.file("rec3"), ""}), "true");
    EXPECT_TRUE(WaitUntil([&] { return Exists(dir.file("rec3")) && !Running("dup"); }));
}

TEST_F(ScriptThreads, ArgumentsArriveInOrderAsText) {
    EXPECT_EQ(Agent("startTyped", {"typed", dir.file("record.lua"), dir.file("typed")}), "true");
    ASSERT_TRUE(WaitUntil([&] { return !Running("typed"); }));
    EXPECT_EQ(ReadFile(dir.file("typed")), "string:a|string:12|string:|string:|string:d");

    // Each argument passes through the local code page on its way: what
    // Latin-1 cannot hold does not survive.
    orvextest::CodePageScope latin1("ISO-8859-1");
    EXPECT_EQ(Agent("startUtf8", {"cp", dir.file("record.lua"), dir.file("cp")}), "true");
    ASSERT_TRUE(WaitUntil([] { return !Running("cp"); }));
    EXPECT_EQ(ReadFile(dir.file("cp")), "string:caf\xC3\xA9 ?");
}

TEST_F(ScriptThreads, BadCallsRaiseArgvError) {
    EXPECT_EQ(Agent("argErrors", {}), "argv error,argv error,argv error,argv error,argv error,"
                                      "argv error,argv error,argv error");
}

TEST_F(ScriptThreads, FailedRunsAreLogged) {
    orvextest::LogCapture log;
    WriteScript(dir.file("plain.lua"), "function orvexScriptMain() return 'ran' end");
    WriteScript(dir.file("nomain.lua"), "x = 1", true);
    WriteScript(dir.file("false.lua"), "function orvexScriptMain() return false end", true);
    WriteScript(dir.file("fine.lua"), "function orvexScriptMain() return 'fine' end", true);
    WriteScript(dir.file("named.lua"), "function named() return 'x' end", true);
    for (const char* name : {"plain.lua", "missing.lua", "nomain.lua", "false.lua", "fine.lua", "named.lua"})
        ASSERT_EQ(Start(name, dir.file(name), {}), "true") << name;
    for (const char* name : {"plain.lua", "missing.lua", "nomain.lua", "false.lua", "fine.lua", "named.lua"})
        ASSERT_TRUE(WaitUntil([&] { return !Running(name); })) << name;

    std::multiset<std::string> texts;
    for (const auto& record : log.records()) {
        EXPECT_EQ(record.level, 2) << record.text;
        texts.insert(record.text);
    }
    // A plain file is not in the encoded form: it decodes to nothing.
    const std::string prefix = "ThreadFunction ExecLua Fail : ";
    EXPECT_EQ(texts, (std::multiset<std::string>{prefix, prefix, prefix, prefix + "isfunction fail",
                                                  prefix + "isfunction fail"}));
}

TEST_F(ScriptThreads, AThreadsWorkerIsGoneWhenItEnds) {
    auto& engine = orvex::CLuaEngineManager::Instance();
    const size_t before = engine.WorkerCountForTesting();
    ASSERT_EQ(Start("worker", dir.file("record.lua"), {dir.file("w"), dir.file("go")}), "true");
    ASSERT_TRUE(WaitUntil([&] { return Exists(dir.file("w")); }));
    // The agent thread's worker and the script thread's.
    EXPECT_EQ(engine.WorkerCountForTesting(), before + 2);
    orvextest::WriteFile(dir.file("go"), "");
    ASSERT_TRUE(WaitUntil([] { return !Running("worker"); }));
    EXPECT_EQ(engine.WorkerCountForTesting(), before + 1);
}

TEST_F(ScriptThreads, AThreadStartedUnderLockExecLuaTimesOut) {
    orvextest::LogCapture log;
    orvextest::LockUnitScope unit(1000);  // 60 units = 60 ms
    WriteScript(dir.file("locker.lua"),
                "function orvexScriptMain(script, record)\n"
                "  assert(orvexThread.CreateThreadWithScript('late', script, record, ''))\n"
                "  while orvexThread.IsThreadRunning('late') do os.execute('sleep 0.01') end\n"
                "  return 'done'\n"
                "end\n");
    std::string result;
    std::thread([&] {
        CLuaEngineInterface::LockExecLua(dir.file("locker.lua"), "", result,
                                         {dir.file("record.lua"), dir.file("late")}, false);
    }).join();
    EXPECT_EQ(result, "done");
    EXPECT_FALSE(Exists(dir.file("late")));
    EXPECT_TRUE(log.contains("ThreadFunction ExecLua Fail : tryLock Timeout"));
}

}  // namespace

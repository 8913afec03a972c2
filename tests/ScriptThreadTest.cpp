// orvexThread: named script threads, their arguments, their failures, their
// workers, and what happens to them at process exit and library unload.
#include <gtest/gtest.h>

#include <stdlib.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
#include <thread>

extern "C" {
#include <lauxlib.h>
#include <lualib.h>
}

#include "EngineLifetime.h"
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
    "  while release ~= '' and not exists(release) do orvexUtil.msleep(10) end\n"
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

// In a death test's child: a hang ends the child after a minute, and so
// fails the test.
void EndChildAfterAMinute() {
#ifdef _WIN32
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::seconds(60));
        _exit(9);
    }).detach();
#else
    alarm(60);
#endif
}

// A death test's child ends with exit() or _exit(), so the destructors of
// its test body never run, the TempDir's included. RemoveAtExit removes the
// child's directory at exit, after every exit handler registered later (the
// engine's too: the child may use the directory while it exits); ExitChild
// removes it at once and ends the child with `code`.
void RemoveAtExit(const std::string& path) {
    static std::string s_path;
    s_path = path;
    atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(s_path, ec);
    });
}

[[noreturn]] void ExitChild(const TempDir& dir, int code) {
    std::error_code ec;
    std::filesystem::remove_all(dir.path(), ec);
    _exit(code);
}

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
    const size_t before = orvextest::WorkerCountAfterAHostCall();
    ASSERT_EQ(Start("worker", dir.file("record.lua"), {dir.file("w"), dir.file("go")}), "true");
    ASSERT_TRUE(WaitUntil([&] { return Exists(dir.file("w")); }));
    // The agent thread that started it has ended, and its worker went with
    // it.
    EXPECT_EQ(orvextest::WorkerCountAfterAHostCall(), before + 1);
    orvextest::WriteFile(dir.file("go"), "");
    ASSERT_TRUE(WaitUntil([] { return !Running("worker"); }));
    EXPECT_EQ(engine.WorkerCountForTesting(), before);
}

TEST_F(ScriptThreads, EndedThreadsDoNotPileUp) {
    auto& manager = CScriptThreadManager::Instance();
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(Start("many" + std::to_string(i), dir.file("record.lua"), {dir.file("m"), dir.file("go")}), "true");
    EXPECT_EQ(manager.RunnerCountForTesting(), 20u);
    orvextest::WriteFile(dir.file("go"), "");
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(WaitUntil([&] { return !Running("many" + std::to_string(i)); }));
    // The next start joins and drops every ended one.
    ASSERT_EQ(Start("one more", dir.file("record.lua"), {dir.file("m"), ""}), "true");
    EXPECT_EQ(manager.RunnerCountForTesting(), 1u);
    ASSERT_TRUE(WaitUntil([] { return !Running("one more"); }));
}

TEST_F(ScriptThreads, AThreadStartedUnderLockExecLuaTimesOut) {
    orvextest::LogCapture log;
    orvextest::LockUnitScope unit(1000);  // 60 units = 60 ms
    WriteScript(dir.file("locker.lua"),
                "function orvexScriptMain(script, record)\n"
                "  assert(orvexThread.CreateThreadWithScript('late', script, record, ''))\n"
                "  while orvexThread.IsThreadRunning('late') do orvexUtil.msleep(10) end\n"
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

// Shutdown. Each case runs in a process of its own.

// A thread script that marks `started` and then never ends by itself.
std::string SpinScript(const std::string& started) {
    return "local f = io.open('" + started + "', 'w'); f:close()\nwhile true do end\n";
}

TEST(ScriptThreadShutdown, ProcessExitStopsARunningScriptThread) {
    TempDir dir;
    WriteScript(dir.file("spin.lua"), SpinScript(dir.file("started")), true);
    WriteScript(dir.file("main.lua"),
                "function orvexScriptMain(spin, started)\n"
                "  assert(orvexThread.CreateThreadWithScript('spin', spin))\n"
                "  while not io.open(started) do orvexUtil.msleep(10) end\n"
                "  return tostring(orvexThread.IsThreadRunning('spin'))\n"
                "end\n");
    std::string out;
#ifdef _WIN32
    const std::string guard;  // the test's own time-out ends a hang
#else
    const std::string guard = "timeout 60 ";
#endif
    const int status = orvextest::RunCommand(
        guard + orvextest::ShellQuote(ORVEX_CLI_PATH) + " run " + orvextest::ShellQuote(dir.file("main.lua")) +
            " " + orvextest::ShellQuote(dir.file("spin.lua")) + " " + orvextest::ShellQuote(dir.file("started")) +
            " 2>&1",
        &out);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out.find("true\n"), 0u) << out;
#ifdef _WIN32
    // Windows ends every other thread of an exiting process before the
    // library's objects go: the thread is gone without a word.
    EXPECT_EQ(out.find("ThreadFunction ExecLua Fail"), std::string::npos) << out;
#else
    // Stopped at exit (not left behind): its run ended with the stop error.
    EXPECT_NE(out.find("ThreadFunction ExecLua Fail : script thread stopped"), std::string::npos) << out;
#endif
}

// What a script thread still running at process exit writes on its way out.
#ifdef _WIN32
const char kStoppedAtExit[] = "";  // ended by the system, silently
#else
const char kStoppedAtExit[] = "ThreadFunction ExecLua Fail : script thread stopped";
#endif

void SlowExit() { std::this_thread::sleep_for(std::chrono::milliseconds(1500)); }

TEST(ScriptThreadShutdownDeathTest, AThreadBlockedPastTheExitWaitStillFindsTheEngine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir dir;
    const std::string luascript = dir.path() + "/luascript";
    std::filesystem::create_directories(luascript);
    WriteScript(luascript + "/slow.lua", "orvexUtil.msleep(500)\nreturn 1", true);
    WriteScript(luascript + "/quick.lua", "return 2", true);
    WriteScript(dir.file("blocked.lua"),
                "function orvexScriptMain(started)\n"
                "  local f = io.open(started, 'w'); f:close()\n"
                "  orvexLoadLua.LoadModule('slow')\n"
                "  while true do orvexLoadLua.LoadModule('quick') end\n"
                "end\n",
                true);
    WriteScript(dir.file("main.lua"),
                "function orvexScriptMain(script, started)\n"
                "  return tostring(orvexThread.CreateThreadWithScript('blocked', script, started))\n"
                "end\n");
    EXPECT_EXIT(
        {
            EndChildAfterAMinute();
            RemoveAtExit(dir.path());
            orvexSetApplicationDir(dir.path().c_str());
            // Registered before the engine's objects exist, so it runs after
            // they were dealt with at exit: the blocked thread wakes up then
            // and goes on using the engine.
            atexit(SlowExit);
            orvex::CEngineLifetime::SetExitWaitForTesting(std::chrono::milliseconds(100));
            std::string result;
            CLuaEngineInterface::ExecLua(dir.file("main.lua"), "", result,
                                         {dir.file("blocked.lua"), dir.file("started")}, false);
            // Says which step failed: the parent prints the child's output.
            if (result != "true") {
                std::cerr << "starting the thread gave: " << result << std::endl;
                ExitChild(dir, 3);
            }
            if (!WaitUntil([&] { return Exists(dir.file("started")); })) {
                std::cerr << "the thread did not start its script" << std::endl;
                ExitChild(dir, 7);
            }
            exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(ScriptThreadShutdownDeathTest, UnloadingTheLibraryUnderARunningThreadLeavesItLoaded) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir dir;
    WriteScript(dir.file("spin.lua"), SpinScript(dir.file("started")), true);
#ifdef _WIN32
    const std::string library =
        std::filesystem::path(ORVEX_CLI_PATH).parent_path().string() + "/orvexLuaEngine.dll";
    auto open = [](const std::string& path) { return static_cast<void*>(LoadLibraryA(path.c_str())); };
    auto symbol = [](void* module, const char* name) {
        return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
    };
    auto close = [](void* module) { FreeLibrary(static_cast<HMODULE>(module)); };
    auto stillLoaded = [](const std::string& path) { return GetModuleHandleA(path.c_str()) != nullptr; };
#else
    const std::string library =
        std::filesystem::path(ORVEX_CLI_PATH).parent_path().string() + "/liborvexLuaEngine.so";
    auto open = [](const std::string& path) { return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); };
    auto symbol = [](void* module, const char* name) { return dlsym(module, name); };
    auto close = [](void* module) { dlclose(module); };
    auto stillLoaded = [](const std::string& path) { return dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD) != nullptr; };
#endif
    EXPECT_EXIT(
        {
            EndChildAfterAMinute();
            RemoveAtExit(dir.path());
            void* handle = open(library);
            if (!handle) ExitChild(dir, 3);
            auto openLibraries = reinterpret_cast<lua_CFunction>(symbol(handle, "luaopen_LuaEngine"));
            if (!openLibraries) ExitChild(dir, 4);
            // On a thread that ends before the unload: a thread that lives on
            // after using the library (its per-thread data) keeps it loaded.
            bool started = false;
            std::thread([&] {
                lua_State* L = luaL_newstate();
                luaL_openlibs(L);
                openLibraries(L);
                lua_pushstring(L, dir.file("spin.lua").c_str());
                lua_setglobal(L, "spin");
                started = luaL_dostring(L, "assert(orvexThread.CreateThreadWithScript('spin', spin))") == 0;
                lua_close(L);
            }).join();
            if (!started) ExitChild(dir, 5);
            if (!WaitUntil([&] { return Exists(dir.file("started")); })) ExitChild(dir, 6);
            close(handle);
            // Still mapped, and the thread goes on running its code.
            if (!stillLoaded(library)) ExitChild(dir, 7);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            exit(0);
        },
        ::testing::ExitedWithCode(0), kStoppedAtExit);
}

}  // namespace

// Process exit and library unload, each in a child process that loads the
// engine library at run time (tests/support/ShutdownHost.cpp): whatever the
// scripts left behind, the child ends cleanly and promptly.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

using orvextest::ShellQuote;
using orvextest::TempDir;

struct Child {
    int status;
    std::string output;
};

// Runs the host on `script` with `args`; a child that hangs is ended.
// With `agents` ("N AGENT_SCRIPT"), N threads call AGENT_SCRIPT meanwhile,
// each on thread after thread that ends when `agentThreadsEnd`.
Child RunHost(const std::string& how, const std::string& script, const std::vector<std::string>& args,
              const std::string& agents = "", bool agentThreadsEnd = false) {
    std::string command;
#ifndef _WIN32
    // The library's process-wide objects are never destroyed, by design (a
    // finalizer may reach them at exit): once it is unloaded, what they hold
    // is gone from the leak checker's sight.
    if (how.compare(0, 2, "un") == 0) command = "ASAN_OPTIONS=\"${ASAN_OPTIONS}:detect_leaks=0\" ";
    command += "timeout -s KILL 20 ";
#endif
    command += ShellQuote(ORVEX_SHUTDOWN_HOST) + " " + ShellQuote(ORVEX_ENGINE_LIBRARY) + " " + how + " " +
               ShellQuote(script);
    for (const std::string& arg : args) command += " " + ShellQuote(arg);
    if (!agents.empty()) command += (agentThreadsEnd ? " --ending " : " -- ") + agents;
    Child child;
    child.status = orvextest::RunCommand(command + " 2>&1", &child.output);
    return child;
}

// One call of each library, harmless on every machine: made once during the
// run (so that whatever the library uses is set up) and again by a finalizer
// that is still pending when the process ends or the library is unloaded.
struct LibraryCall {
    const char* library;
    const char* call;  // a Lua expression; `tmp` and `plugin` are in scope
};

const LibraryCall kCalls[] = {
    {"orvexUtil", "orvexUtil.HttpGetToBuffer('http://127.0.0.1:9/', 500)"},
    {"orvexConfig", "orvexConfig.GetVMid()"},
    {"orvexProcess", "orvexProcess.GetPPid(1)"},
    {"orvexAlgorithm", "orvexAlgorithm.GetBufferMd5('x')"},
    {"orvexNetWork", "orvexNetWork.GetLocalHostName()"},
    {"orvexLibrary", "orvexLibrary.LoadModule(plugin) and orvexLibrary.CallModuleFuncWithParam(plugin, 'Echo', 'x')"},
    {"orvexJson", "orvexJson.GetJsonBuffer({a = 1})"},
    {"orvexIni", "orvexIni.GetIniValue(tmp .. '/x.ini', 'a/b')"},
    {"orvexSqlite", "orvexSqlite.execQuery(tmp .. '/x.db', 'SELECT 1')"},
    {"orvexLoadLua", "orvexLoadLua.LoadModule('none')"},
    {"orvexIpc", "orvexIpc.WriteToClient('client', 'x')"},
    {"orvexThread", "orvexThread.IsThreadRunning('t')"},
    {"orvexWindows", "orvexWindows.winRStartService('orvex-no-such-service')"},
    {"orvexKorin", "orvexKorin.StopKorin()"},
    {"orvexProc", "orvexProc.RefreshProcList('x')"},
};

std::string FinalizerScript(const LibraryCall& c) {
    return std::string("function orvexScriptMain(tmp, plugin, spinner)\n") +
           "  if spinner then assert(orvexThread.CreateThreadWithScript('spin', spinner)) end\n"
           "  pcall(function() return " + c.call + " end)\n"
           "  keep = newproxy(true)\n"
           "  getmetatable(keep).__gc = function()\n"
           "    local ok, err = pcall(function() return " +
           c.call +
           " end)\n"
           "    local refused = not ok and tostring(err):find('engine closed', 1, true)\n"
           "    io.write(refused and 'refused\\n' or 'finalized\\n')\n"
           "    io.flush()\n"
           "  end\n"
           "  return 'ok'\n"
           "end\n";
}

#ifdef _WIN32
const char kPlugin[] = "/echo_plugin.dll";
#else
const char kPlugin[] = "/echo_plugin.so";
#endif

// Whatever a finalizer calls, it is called while the library's services are
// all there: at a return from main, at exit(), at unload, and when the
// thread whose state it is in ends.
TEST(Shutdown, FinalizersOfEveryLibraryRunWhileItsServicesAreThere) {
    TempDir tmp;
    const std::string plugin = std::string(ORVEX_PLUGIN_DIR) + kPlugin;
    // A script thread that runs until it is stopped: it keeps the library
    // loaded, so the unload takes effect at exit.
    orvextest::WriteScript(tmp.file("spinner.lua"), "function orvexScriptMain() while true do end end\n", true);
    for (const LibraryCall& c : kCalls) {
        const std::string script = tmp.file(std::string(c.library) + ".lua");
        orvextest::WriteScript(script, FinalizerScript(c));
        for (const std::string how : {"return", "exit", "unload", "unload with a thread", "end"}) {
            const bool withThread = how == "unload with a thread";
            std::vector<std::string> args = {tmp.path(), plugin};
            if (withThread) args.push_back(tmp.file("spinner.lua"));
            Child child = RunHost(withThread ? "unload" : how, script, args);
            EXPECT_EQ(child.status, 0) << c.library << " " << how << ": " << child.output;
#ifdef _WIN32
            // The loader lock is held while a library detaches: finalizers
            // run then get the failure of every script function instead of
            // calling into other modules.
            const std::string finalized = "refused\n";
#else
            const std::string finalized = "finalized\n";
#endif
            // In this order (log lines may come between them).
            std::vector<std::string> expected = {"ok\n", finalized};
            if (how == "unload") expected.push_back("unloaded\n");
            if (withThread) expected = {"ok\n", "unloaded\n", finalized};
#ifndef _WIN32
            // The calling thread's state goes as the thread ends, on that
            // thread: before its result is printed. (On Windows it stays
            // until the library detaches, as at a return from main.)
            if (how == "end") expected = {"finalized\n", "ok\n"};
#endif
#ifdef _WIN32
            // Windows ends the script thread, mid-run, before the library
            // goes: no state is closed then (none can be trusted), so no
            // finalizer runs.
            if (withThread) {
                expected = {"ok\n", "unloaded\n"};
                EXPECT_EQ(child.output.find("refused"), std::string::npos) << c.library << ": " << child.output;
            }
#endif
            size_t at = 0;
            for (const std::string& line : expected) {
                at = child.output.find(line, at);
                EXPECT_NE(at, std::string::npos) << c.library << " " << how << ": " << line << " in " << child.output;
                if (at == std::string::npos) break;
            }
        }
    }
}

// Script threads at exit, and a script thread that ends the process.
TEST(Shutdown, ScriptThreadsAreStoppedEvenWhenTheyCatchTheStop) {
    TempDir tmp;
    // Catches every error and goes on; only the repeated stop ends it.
    orvextest::WriteScript(tmp.file("stubborn.lua"),
                           "function orvexScriptMain(started)\n"
                           "  local f = io.open(started, 'w'); f:close()\n"
                           "  while true do\n"
                           "    pcall(function() while true do end end)\n"
                           "    pcall(error, 'x')\n"
                           "    local co = coroutine.create(function() while true do end end)\n"
                           "    coroutine.resume(co)\n"
                           "  end\n"
                           "end\n",
                           true);
    orvextest::WriteScript(tmp.file("main.lua"),
                           "function orvexScriptMain(stubborn, started)\n"
                           "  assert(orvexThread.CreateThreadWithScript('stubborn', stubborn, started))\n"
                           "  while not io.open(started) do orvexUtil.msleep(5) end\n"
                           "  return 'ok'\n"
                           "end\n");
    for (const char* how : {"return", "exit", "unload", "unexit"}) {
        Child child = RunHost(how, tmp.file("main.lua"), {tmp.file("stubborn.lua"), tmp.file("started")});
        EXPECT_EQ(child.status, 0) << how << ": " << child.output;
#ifndef _WIN32
        // Its run ended with the stop (a thread that outlived the wait would
        // be parked silently).
        EXPECT_NE(child.output.find("ThreadFunction ExecLua Fail : script thread stopped"), std::string::npos)
            << how << ": " << child.output;
#endif
        std::remove(tmp.file("started").c_str());
    }
}

TEST(Shutdown, OsExitFromAScriptThreadWhileOtherThreadsRunScripts) {
    // Under Wine about one such exit in ten never ends, with or without the
    // engine's thread-end slot: the exiting thread, inside the emulator's
    // process termination, takes a signal whose handler waits for a lock
    // that the interrupted call holds (seen in a debugger), and the process
    // stays a zombie with that one thread.
    if (orvextest::RunningUnderWine())
        GTEST_SKIP() << "Wine's process termination deadlocks now and then when a thread other than main exits";
    TempDir tmp;
    orvextest::WriteScript(tmp.file("agent.lua"),
                           "function orvexScriptMain()\n"
                           "  local t = {}\n"
                           "  for i = 1, 200 do t[i] = orvexJson.GetJsonBuffer({n = i}) end\n"
                           "  return orvexAlgorithm.GetBufferMd5(table.concat(t))\n"
                           "end\n");
    orvextest::WriteScript(tmp.file("quitter.lua"),
                           "function orvexScriptMain()\n"
                           "  orvexUtil.msleep(200)\n"
                           "  os.exit(0)\n"
                           "end\n",
                           true);
    orvextest::WriteScript(tmp.file("main.lua"),
                           "function orvexScriptMain(quitter)\n"
                           "  return tostring(orvexThread.CreateThreadWithScript('quitter', quitter))\n"
                           "end\n");
    for (int round = 0; round < 3; ++round) {
        Child child = RunHost("wait", tmp.file("main.lua"), {tmp.file("quitter.lua")}, "4 " + ShellQuote(tmp.file("agent.lua")));
        EXPECT_EQ(child.status, 0) << child.output;
        EXPECT_EQ(child.output.find("true\n"), 0u) << child.output;
    }
}

// A call that comes after the shutdown is refused, not run on freed objects;
// threads that end during and after the shutdown leave their states to it.
TEST(Shutdown, HostCallsDuringAndAfterTheShutdownAreRefused) {
#ifdef _WIN32
    // Windows ends every other thread before the library detaches at exit,
    // so no host call comes during the shutdown; and under Wine such an exit
    // with six threads in engine calls hung now and then (4 runs in 40),
    // also with the engine's shutdown doing nothing but keep its states.
    GTEST_SKIP() << "no host call can come during the shutdown at a Windows exit";
#endif
    TempDir tmp;
    orvextest::WriteScript(tmp.file("agent.lua"),
                           "keep = newproxy(true)\n"
                           "getmetatable(keep).__gc = function() pcall(orvexUtil.GetAppPath) end\n"
                           "function orvexScriptMain() return orvexUtil.GetAppPath() end\n");
    orvextest::WriteScript(tmp.file("main.lua"), "function orvexScriptMain() return 'ok' end\n");
    for (const bool ending : {false, true}) {
        for (const char* how : {"return", "exit"}) {
            Child child = RunHost(how, tmp.file("main.lua"), {}, "6 " + ShellQuote(tmp.file("agent.lua")), ending);
            EXPECT_EQ(child.status, 0) << how << (ending ? " (threads ending)" : "") << ": " << child.output;
            EXPECT_EQ(child.output.find("ok\n"), 0u) << how << ": " << child.output;
        }
    }
}

}  // namespace

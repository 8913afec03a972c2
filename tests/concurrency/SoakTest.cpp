// Soak of the whole engine: agent threads running plain and encoded scripts
// that load modules and start script threads, next to a thread that takes
// the engine exclusively and empties the source cache, for a fixed number of
// rounds. Every call must give its expected outcome; a hang ends the process
// through the watchdog instead of blocking the test run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include "LuaEngineInterface.h"
#include "LuaEngineManager.h"
#include "ScriptThreads.h"
#include "TestSupport.h"

using orvextest::TempDir;
using orvextest::WriteScript;

namespace {

constexpr int kAgents = 6;
constexpr int kRounds = 250;
constexpr int kThreadEvery = 5;  // rounds between two script threads of an agent, per script kind
// Generous for the ThreadSanitizer build; the plain build needs a few seconds.
constexpr auto kWatchdogLimit = std::chrono::seconds(240);

const char kAgentScript[] =
    "local calc = orvexLoadLua.LoadModule('calc')\n"
    "n = calc.add(40, 2)\n"
    "t = {a = 'x', b = tostring(calc.add(1, 1)), c = orvexLoadLua.LoadModule('tag')}\n"
    "function orvexScriptMain(id, round, threadScript, out)\n"
    "  local sum = orvexLoadLua.LoadModule('calc').add(tonumber(id), tonumber(round))\n"
    "  if threadScript ~= '' then\n"
    "    if not orvexThread.CreateThreadWithScript(out, threadScript, out, id, round) then\n"
    "      return 'start failed'\n"
    "    end\n"
    "    if type(orvexThread.IsThreadRunning(out)) ~= 'boolean' then return 'bad IsThreadRunning' end\n"
    "  end\n"
    "  return id .. ':' .. round .. ':' .. sum\n"
    "end\n";

// Script thread: writes twice the sum, complete or not at all.
const char kThreadScript[] =
    "function orvexScriptMain(out, id, round)\n"
    "  local v = orvexLoadLua.LoadModule('calc').add(tonumber(id), tonumber(round)) * 2\n"
    "  local f = assert(io.open(out .. '.part', 'w')); f:write(tostring(v)); f:close()\n"
    "  assert(os.rename(out .. '.part', out))\n"
    "end\n";

const char kLockedScript[] =
    "function orvexScriptMain(x) return x .. orvexLoadLua.LoadModule('calc').add(2, 3) end\n";

// Ends the process when the soak does not finish in time.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit)
        : m_thread([this, limit] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (!m_cond.wait_for(lock, limit, [this] { return m_done; })) {
                  std::fprintf(stderr, "soak watchdog: not finished after %lld s (%d calls done); deadlock?\n",
                               static_cast<long long>(limit.count()), calls.load());
                  std::fflush(stderr);
                  std::_Exit(1);
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_cond.notify_all();
        m_thread.join();
    }
    std::atomic<int> calls{0};

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_done = false;
    std::thread m_thread;
};

class Failures {
public:
    void Add(const std::string& what) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_list.size() < 20) m_list.push_back(what);
        ++m_count;
    }
    std::string Report() const {
        std::string text = std::to_string(m_count) + " failures";
        for (const auto& f : m_list) text += "\n  " + f;
        return text;
    }
    int count() const { return m_count; }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_list;
    int m_count = 0;
};

TEST(EngineSoak, AgentsModulesScriptThreadsAndExclusiveRuns) {
    Watchdog watchdog(kWatchdogLimit);
    TempDir app;
    orvextest::AppDirScope appDir(app.path());
    std::filesystem::create_directories(app.path() + "/luascript");
    std::filesystem::create_directories(app.path() + "/out");
    WriteScript(app.path() + "/luascript/calc.lua",
                "local M = {}\nfunction M.add(a, b) return a + b end\nreturn M\n", true);
    WriteScript(app.path() + "/luascript/tag.lua", "tagLoads = (tagLoads or 0) + 1\n", true);
    const std::string plain = app.file("agent.lua"), encoded = app.file("agent_enc.lua");
    WriteScript(plain, kAgentScript, false);
    WriteScript(encoded, kAgentScript, true);
    WriteScript(app.file("thread.lua"), kThreadScript, true);
    WriteScript(app.file("locked.lua"), kLockedScript, false);

    auto& engine = orvex::CLuaEngineManager::Instance();
    const size_t workersBefore = engine.WorkerCountForTesting();
    Failures failures;
    std::vector<std::string> threadOutputs[kAgents];
    std::atomic<int> agentsLeft{kAgents};

    auto agent = [&](int id) {
        const std::string sid = std::to_string(id);
        const std::map<std::string, std::string> expectedMap{{"a", "x"}, {"b", "2"}, {"c", "tag"}};
        for (int round = 0; round < kRounds; ++round) {
            const std::string sround = std::to_string(round);
            const std::string expected = sid + ":" + sround + ":" + std::to_string(id + round);
            for (bool enc : {false, true}) {
                std::string threadScript, out;
                if (round % kThreadEvery == (enc ? 2 : 0)) {
                    threadScript = app.file("thread.lua");
                    out = app.path() + "/out/t" + sid + "-" + sround + (enc ? "e" : "p");
                    threadOutputs[id].push_back(out);
                }
                std::string result;
                bool ok = CLuaEngineInterface::ExecLua(enc ? encoded : plain, "", result,
                                                       {sid, sround, threadScript, out}, enc);
                if (!ok || result != expected)
                    failures.Add("ExecLua " + std::string(enc ? "encoded" : "plain") + " -> " + result);
                int n = CLuaEngineInterface::GetVarInt(enc ? encoded : plain, "n", enc);
                if (n != 42) failures.Add("GetVarInt -> " + std::to_string(n));
                if (CLuaEngineInterface::GetVarMap(enc ? encoded : plain, "t", enc) != expectedMap)
                    failures.Add("GetVarMap differs");
                watchdog.calls += 3;
            }
        }
        --agentsLeft;
    };
    auto locker = [&] {
        int i = 0;
        while (agentsLeft.load() > 0) {
            std::string result;
            bool ok = CLuaEngineInterface::LockExecLua(app.file("locked.lua"), "", result, {"L"}, false);
            if (!ok || result != "L5") failures.Add("LockExecLua -> " + result);
            if (++i % 2 == 0) CLuaEngineInterface::ClearLuaCache();
            watchdog.calls += 1;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };

    std::vector<std::thread> threads;
    for (int id = 0; id < kAgents; ++id) threads.emplace_back(agent, id);
    threads.emplace_back(locker);
    for (auto& t : threads) t.join();

    // Every script thread ends and leaves its result; none keeps a worker.
    auto& scriptThreads = orvex::CScriptThreadManager::Instance();
    size_t started = 0;
    for (int id = 0; id < kAgents; ++id) {
        for (const std::string& out : threadOutputs[id]) {
            ++started;
            while (scriptThreads.IsScriptThreadRunning(out)) std::this_thread::sleep_for(std::chrono::milliseconds(2));
            const std::string name = std::filesystem::path(out).filename().string();
            const int round = std::stoi(name.substr(name.find('-') + 1));
            EXPECT_EQ(orvextest::ReadFile(out), std::to_string(2 * (id + round))) << out;
        }
    }
    EXPECT_EQ(started, static_cast<size_t>(kAgents * 2 * kRounds / kThreadEvery));
    // Agent threads keep theirs (fewer when a new thread got a dead one's id).
    EXPECT_LE(engine.WorkerCountForTesting(), workersBefore + kAgents + 1);
    EXPECT_EQ(failures.count(), 0) << failures.Report();
}

}  // namespace

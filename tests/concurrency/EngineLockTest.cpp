// The engine lock seen from the exported functions, and the lock itself.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "LuaEngineInterface.h"
#include "LuaEngineManager.h"
#include "TestSupport.h"
#include "pyn/ReadWriteLockUtil.h"

using orvextest::TempDir;
using orvextest::WriteScript;

namespace {

// A script whose entry function waits until the file `release` exists.
const char kWaitingScript[] =
    "function orvexScriptMain(started, release)\n"
    "  local f = io.open(started, 'w'); f:write('1'); f:close()\n"
    "  while true do\n"
    "    local r = io.open(release, 'r')\n"
    "    if r then r:close(); return 'released' end\n"
    "    os.execute('sleep 0.01')\n"
    "  end\n"
    "end\n";

bool Exists(const std::string& path) { return !orvextest::ReadFile(path).empty(); }

void WaitFor(const std::string& path) {
    for (int i = 0; i < 3000 && !Exists(path); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(Exists(path)) << "script did not start";
}

TEST(EngineLock, LockExecLuaShutsOutOtherRunsUntilTheTimeOut) {
    TempDir dir;
    orvextest::LockUnitScope unit(2000);  // 60 units = 120 ms
    WriteScript(dir.file("wait.lua"), kWaitingScript);
    WriteScript(dir.file("vars.lua"), "n = 7\nt = {a = 'x'}\nfunction orvexScriptMain() return 'ran' end\n");
    const std::string started = dir.file("started"), release = dir.file("release");

    std::string lockedResult;
    bool lockedOk = false;
    std::thread holder([&] {
        lockedOk = CLuaEngineInterface::LockExecLua(dir.file("wait.lua"), "", lockedResult, {started, release},
                                                    false);
    });
    WaitFor(started);

    std::string result = "previous text";
    EXPECT_FALSE(CLuaEngineInterface::ExecLua(dir.file("vars.lua"), "", result, {}, false));
    EXPECT_EQ(result, "tryLock Timeout");
    result = "x";
    EXPECT_FALSE(CLuaEngineInterface::LockExecLua(dir.file("vars.lua"), "", result, {}, false));
    EXPECT_EQ(result, "tryLock Timeout");
    EXPECT_EQ(CLuaEngineInterface::GetVarInt(dir.file("vars.lua"), "n", false), 0);
    EXPECT_TRUE(CLuaEngineInterface::GetVarMap(dir.file("vars.lua"), "t", false).empty());

    orvextest::WriteFile(release, "1");
    holder.join();
    EXPECT_TRUE(lockedOk);
    EXPECT_EQ(lockedResult, "released");
    // Afterwards everything runs again.
    EXPECT_TRUE(CLuaEngineInterface::ExecLua(dir.file("vars.lua"), "", result, {}, false));
    EXPECT_EQ(result, "ran");
    EXPECT_EQ(CLuaEngineInterface::GetVarInt(dir.file("vars.lua"), "n", false), 7);
}

// A run waits for the script thread it started while a LockExecLua, queued
// meanwhile, waits for that run: the thread's run goes ahead of the queued
// writer (its creator holds the writer back anyway), so all three end at
// once instead of stalling every run until the writer times out.
TEST(EngineLock, AScriptThreadIsNotQueuedBehindAWriterThatWaitsForItsCreator) {
    TempDir dir;
    orvextest::LockUnitScope unit(100000);  // 60 units = 6 s
    WriteScript(dir.file("child.lua"),
                "function orvexScriptMain(done) local f = io.open(done, 'w'); f:close() end\n", true);
    WriteScript(dir.file("creator.lua"),
                "function orvexScriptMain(started, go, child, done)\n"
                "  local f = io.open(started, 'w'); f:write('1'); f:close()\n"
                "  while not io.open(go) do orvexUtil.msleep(5) end\n"
                "  assert(orvexThread.CreateThreadWithScript('child', child, done))\n"
                "  while orvexThread.IsThreadRunning('child') do orvexUtil.msleep(5) end\n"
                "  return io.open(done) and 'child ran' or 'child did not run'\n"
                "end\n");
    WriteScript(dir.file("exclusive.lua"), "function orvexScriptMain() return 'exclusive ran' end\n");
    const std::string started = dir.file("started"), go = dir.file("go");

    std::string creatorResult, writerResult;
    bool creatorOk = false, writerOk = false;
    std::thread creator([&] {
        creatorOk = CLuaEngineInterface::ExecLua(dir.file("creator.lua"), "", creatorResult,
                                                 {started, go, dir.file("child.lua"), dir.file("done")}, false);
    });
    WaitFor(started);
    std::thread writer([&] {
        writerOk = CLuaEngineInterface::LockExecLua(dir.file("exclusive.lua"), "", writerResult, {}, false);
    });
    auto& engine = orvex::CLuaEngineManager::Instance();
    for (int i = 0; i < 2000 && engine.WaitingWritersForTesting() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(engine.WaitingWritersForTesting(), 1);
    orvextest::WriteFile(go, "1");
    creator.join();
    writer.join();
    EXPECT_TRUE(creatorOk);
    EXPECT_EQ(creatorResult, "child ran");
    EXPECT_TRUE(writerOk);
    EXPECT_EQ(writerResult, "exclusive ran");
}

TEST(EngineLock, ClearLuaCacheDoesNotWaitForARunningScript) {
    TempDir dir;
    WriteScript(dir.file("wait.lua"), kWaitingScript, true);
    const std::string started = dir.file("started"), release = dir.file("release");
    std::string result;
    bool ok = false;
    std::thread runner([&] {
        ok = CLuaEngineInterface::LockExecLua(dir.file("wait.lua"), "", result, {started, release}, true);
    });
    WaitFor(started);
    auto before = std::chrono::steady_clock::now();
    CLuaEngineInterface::ClearLuaCache();  // must return while the script still runs
    auto took = std::chrono::steady_clock::now() - before;
    EXPECT_FALSE(Exists(release));
    orvextest::WriteFile(release, "1");
    runner.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(result, "released");
    EXPECT_LT(took, std::chrono::seconds(5));
}

TEST(ReadWriteLock, ReentryWriterPreferenceAndTimeOut) {
    orvextest::LockUnitScope unit(1000);  // 1 unit = 1 ms
    pyn::CReadWriteLockUtil lock;

    // Re-entry: shared under shared and shared under exclusive are granted at
    // once; exclusive under shared fails at once.
    ASSERT_TRUE(lock.tryReadLock(0));
    EXPECT_TRUE(lock.tryReadLock(0));
    EXPECT_FALSE(lock.tryWriteLock(1000));
    lock.unlock();
    lock.unlock();
    ASSERT_TRUE(lock.tryWriteLock(0));
    EXPECT_TRUE(lock.tryReadLock(0));
    EXPECT_TRUE(lock.tryWriteLock(0));
    lock.unlock();
    lock.unlock();

    // Still held exclusively by this thread: another thread times out.
    std::atomic<int> other{-1};
    std::thread([&] { other = lock.tryReadLock(20) ? 1 : 0; }).join();
    EXPECT_EQ(other.load(), 0);
    lock.unlock();
    std::thread([&] {
        other = lock.tryReadLock(20) ? 1 : 0;
        if (other) lock.unlock();
    }).join();
    EXPECT_EQ(other.load(), 1);
    lock.unlock();  // holds nothing: no effect

    // A waiting writer holds back new readers, not the reader already inside.
    ASSERT_TRUE(lock.tryReadLock(0));
    std::atomic<bool> writerGot{false};
    std::thread writer([&] {
        writerGot = lock.tryWriteLock(5000);
        if (writerGot) lock.unlock();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::thread([&] { other = lock.tryReadLock(10) ? 1 : 0; }).join();
    EXPECT_EQ(other.load(), 0) << "a new reader overtook the waiting writer";
    EXPECT_TRUE(lock.tryReadLock(0)) << "re-entry must not wait for the writer";
    lock.unlock();
    lock.unlock();
    writer.join();
    EXPECT_TRUE(writerGot.load());
}

}  // namespace

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

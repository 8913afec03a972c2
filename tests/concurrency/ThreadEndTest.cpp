// Threads of the host that make calls and end: what each one had in the
// engine (its worker, its Lua state and their globals) goes with it, while a
// thread that lives keeps its state from one call to the next.
#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#include <psapi.h>
#else
#include <unistd.h>
#endif

#include "LuaEngineInterface.h"
#include "LuaEngineManager.h"
#include "OrvexEngine.h"
#include "TestSupport.h"
#include "pyn/ThreadUtil.h"

namespace {

using orvextest::TempDir;
using orvextest::WriteScript;

// Gives the value the global `mark` had when the call came (as text), then
// sets it to the argument.
const char kMarkScript[] =
    "function orvexScriptMain(value)\n"
    "  local before = tostring(mark)\n"
    "  mark = value\n"
    "  return before\n"
    "end\n";

struct Call {
    uint32_t thread = 0;
    bool ok = false;
    std::string result;
};

// One ExecLua of `script` with `value` on a new thread that then ends.
Call CallOnNewThread(const std::string& script, const std::string& value) {
    Call call;
    std::thread([&] {
        call.thread = pyn::CThreadUtil::GetCurrentThreadId();
        call.ok = CLuaEngineInterface::ExecLua(script, "", call.result, {value}, false);
    }).join();
    return call;
}

// The thread ids of the Lua states the engine's statistics list.
std::set<uint32_t> StatisticsThreads() {
    std::string json(orvexGetStatistics(nullptr, 0), '\0');
    json.resize(orvexGetStatistics(&json[0], json.size()));
    rapidjson::Document doc;
    doc.Parse(json.c_str(), json.size());
    std::set<uint32_t> threads;
    if (doc.HasParseError() || !doc.IsObject() || !doc.HasMember("states")) return threads;
    for (const auto& state : doc["states"].GetArray()) threads.insert(state["thread"].GetUint());
    return threads;
}

// The process's resident memory in bytes, or 0 when it cannot be read.
size_t ResidentBytes() {
#if defined(_WIN32)
    PROCESS_MEMORY_COUNTERS counters;
    if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
    return counters.WorkingSetSize;
#else
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) return 0;
    unsigned long size = 0, resident = 0;
    const int n = std::fscanf(f, "%lu %lu", &size, &resident);
    std::fclose(f);
    if (n != 2) return 0;
    return static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
#endif
}

constexpr int kWarmUpThreads = 200;
constexpr int kThreads = 2000;
constexpr size_t kMiB = 1024 * 1024;

// Threads that each make one call and end: none of them finds another's
// globals, none is left in the statistics, and the process's memory stays
// where it was.
TEST(ThreadEnd, ThreadsThatMakeOneCallAndEndLeaveNothingBehind) {
    TempDir dir;
    const std::string script = dir.file("mark.lua");
    WriteScript(script, kMarkScript);
    const size_t workersBefore = orvextest::WorkerCountAfterAHostCall();

    std::set<uint32_t> ids;
    int recycled = 0;
    auto run = [&](int count) {
        for (int i = 0; i < count; ++i) {
            Call call = CallOnNewThread(script, "thread " + std::to_string(i));
            ASSERT_TRUE(call.ok) << call.result;
            // A thread with the id of an ended one starts afresh too.
            ASSERT_EQ(call.result, "nil") << "thread " << i << " (id " << call.thread << ")";
            if (!ids.insert(call.thread).second) ++recycled;
        }
    };
    run(kWarmUpThreads);
    const size_t before = ResidentBytes();
    run(kThreads);
    const size_t after = ResidentBytes();

    EXPECT_EQ(orvextest::WorkerCountAfterAHostCall(), workersBefore);
    const std::set<uint32_t> listed = StatisticsThreads();
    size_t stillListed = 0;
    for (uint32_t id : ids) stillListed += listed.count(id);
    EXPECT_EQ(stillListed, 0u) << "ended threads still in the statistics";
    std::printf("resident memory: %zu KiB before, %zu KiB after %d threads; %d thread ids recycled\n",
                before / 1024, after / 1024, kThreads, recycled);

#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer keeps freed memory in quarantine: resident memory is not compared";
#endif
    if (before == 0 || after == 0) GTEST_SKIP() << "the process's resident memory cannot be read here";
    EXPECT_LE(after, before + 4 * kMiB) << before / 1024 << " KiB before, " << after / 1024 << " KiB after";
}

// A thread that lives keeps its state and globals between its calls; other
// threads never see them.
TEST(ThreadEnd, ALivingThreadKeepsItsGlobals) {
    TempDir dir;
    const std::string script = dir.file("mark.lua");
    WriteScript(script, kMarkScript);
    std::string first, second;
    uint32_t id = 0;
    std::thread([&] {
        id = pyn::CThreadUtil::GetCurrentThreadId();
        ASSERT_TRUE(CLuaEngineInterface::ExecLua(script, "", first, {"one"}, false));
        Call other = CallOnNewThread(script, "other");
        EXPECT_EQ(other.result, "nil");
        ASSERT_TRUE(CLuaEngineInterface::ExecLua(script, "", second, {"two"}, false));
        EXPECT_EQ(StatisticsThreads().count(id), 1u);
    }).join();
    EXPECT_EQ(first, "nil");
    EXPECT_EQ(second, "one");
    // Gone with the thread.
    orvextest::LetEndedThreadsGo();
    EXPECT_EQ(StatisticsThreads().count(id), 0u);
}

#if defined(__linux__)
// Linux hands out thread ids in turn; writing the last one given to
// ns_last_pid makes the next thread get a chosen id again.
bool SetLastPid(uint32_t id) {
    FILE* f = std::fopen("/proc/sys/kernel/ns_last_pid", "w");
    if (!f) return false;
    const bool written = std::fprintf(f, "%u", id) > 0;
    return std::fclose(f) == 0 && written;
}

TEST(ThreadEnd, AThreadWithARecycledIdStartsAfresh) {
    TempDir dir;
    const std::string script = dir.file("mark.lua");
    WriteScript(script, kMarkScript);
    Call first = CallOnNewThread(script, "first");
    ASSERT_TRUE(first.ok) << first.result;
    if (!SetLastPid(first.thread - 1)) GTEST_SKIP() << "/proc/sys/kernel/ns_last_pid cannot be written here";
    // Other processes of the machine may take the id in between: try again.
    for (int attempt = 0; attempt < 50; ++attempt) {
        ASSERT_TRUE(SetLastPid(first.thread - 1));
        Call again = CallOnNewThread(script, "again");
        if (again.thread != first.thread) continue;
        EXPECT_TRUE(again.ok) << again.result;
        EXPECT_EQ(again.result, "nil") << "the thread with the recycled id " << again.thread
                                       << " found the ended thread's globals";
        return;
    }
    GTEST_SKIP() << "no thread got the recycled id " << first.thread;
}
#endif

}  // namespace

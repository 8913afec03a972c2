// Lua-heap allocation failures: every tests/lua/*_test.lua script, run as
// LuaScriptTest runs it, with the Nth request of its Lua state for memory
// refused, for N from 1 up to the script's whole count of requests (sampled
// evenly where that count is large). Both ways of failing: only the Nth
// request (Lua goes on after the error), and the Nth and every one after it
// (the heap stays exhausted until the run ends). Every run must come back
// with a result, and the same thread's next call must work; the sanitizer
// build sees every access and every leak.
//
// How many N: by default as many as fit in kScriptBudget of running, going
// by the time of the script's run without failures (at least kMinRuns per
// way of failing, at most every N): a quick script is tried with every N, a
// slow one (archives, processes) with a sample. ORVEX_ALLOC_FAILURE_RUNS=n
// sets n per script and way of failing instead.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <thread>

#include "LuaEngineInterface.h"
#include "LuaEngineManager.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using orvex::CLuaStateAllocator;
using FailureMode = CLuaStateAllocator::FailureMode;

namespace {

constexpr std::chrono::seconds kScriptBudget{20};
constexpr size_t kMinRuns = 4;
// Far beyond any script's run time: a run that takes this long hangs.
constexpr std::chrono::minutes kHangLimit{5};

// Runs per way of failing for a script whose run without failures took
// `whole`.
size_t RunsPerScript(std::chrono::steady_clock::duration whole) {
    const char* text = std::getenv("ORVEX_ALLOC_FAILURE_RUNS");
    const long long fixed = text ? std::atoll(text) : 0;
    if (fixed > 0) return static_cast<size_t>(fixed);
    const auto each = std::max<std::chrono::steady_clock::duration>(whole, std::chrono::milliseconds(1));
    return std::max<size_t>(kMinRuns, static_cast<size_t>(kScriptBudget / 2 / each));
}

// The failing requests to try: all of 1..count, or `runs` of them spread
// evenly from the first to the last.
std::vector<size_t> SampleRequests(size_t count, size_t runs) {
    std::vector<size_t> picks;
    if (count <= runs) {
        for (size_t n = 1; n <= count; ++n) picks.push_back(n);
        return picks;
    }
    for (size_t i = 0; i < runs; ++i) picks.push_back(1 + (runs == 1 ? 0 : i * (count - 1) / (runs - 1)));
    return picks;
}

struct RunResult {
    bool ok = false;
    std::string result;
    size_t requests = 0;  // counted during the script's run
    bool nextOk = false;
    std::string nextResult;
};

// A small call that needs a working state with the libraries installed.
const char kNextCall[] =
    "function orvexScriptMain(n)\n"
    "  local t = {}\n"
    "  for i = 1, tonumber(n) do t[i] = i * i end\n"
    "  return table.concat(t, ',') .. ' ' .. orvexUtil.toHex('ok')\n"
    "end\n";
const char kNextResult[] = "1,4,9 6f6b";

// Runs the script on a thread of its own (a fresh worker) with request
// `failAt` refused (0: none), then the next call on the same thread; the
// worker goes with the thread.
RunResult RunOnFreshThread(const std::string& script, const std::string& nextCall, const std::vector<std::string>& args,
                     size_t failAt, FailureMode mode) {
    RunResult run;
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::thread runner([&] {
        orvex::CLuaEngineManager& engine = orvex::CLuaEngineManager::Instance();
        {
            std::shared_ptr<orvex::CLuaWorker> worker = engine.GetThreadWorker();
            CLuaStateAllocator& allocator = worker->AllocatorForTesting();
            allocator.FailAllocation(failAt, mode);
            run.ok = CLuaEngineInterface::ExecLua(script, "", run.result, args, false);
            run.requests = allocator.RequestCount();
            allocator.StopFailing();
            run.nextOk = CLuaEngineInterface::ExecLua(nextCall, "", run.nextResult, {"3"}, false);
        }
        engine.ReleaseThreadWorker();
        std::lock_guard<std::mutex> lock(mutex);
        finished = true;
        done.notify_all();
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!done.wait_for(lock, kHangLimit, [&] { return finished; })) {
            std::cerr << "hang: " << script << " with request " << failAt << " refused\n";
            std::abort();
        }
    }
    runner.join();
    return run;
}

bool Passed(const std::string& result) { return result == "ok" || result.rfind("ok\n", 0) == 0; }

class LuaHeapFailure : public ::testing::TestWithParam<std::string> {};

TEST_P(LuaHeapFailure, EveryRunEndsWithAResultAndTheThreadGoesOn) {
#ifdef _WIN32
    orvextest::CodePageScope utf8("UTF-8");
#endif
    orvextest::LogCapture quiet;
    orvextest::TempDir scratch;
    const std::string nextCall = scratch.file("next.lua");
    orvextest::WriteFile(nextCall, kNextCall);
    const std::string script = std::string(ORVEX_TEST_LUA_DIR) + "/" + GetParam() + "_test.lua";
    auto runWith = [&](size_t failAt, FailureMode mode) {
        orvextest::TempDir tmp;
        return RunOnFreshThread(script, nextCall, {ORVEX_TEST_LUA_DIR, tmp.path(), ORVEX_FIXTURE_DIR, ORVEX_PLUGIN_DIR},
                                failAt, mode);
    };

    // The whole count, from a run without failures.
    const auto start = std::chrono::steady_clock::now();
    const RunResult whole = runWith(0, FailureMode::kOnlyNth);
    const auto wholeTime = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(whole.ok) << whole.result;
    ASSERT_TRUE(Passed(whole.result)) << whole.result;
    ASSERT_GT(whole.requests, 0u);

    const std::vector<size_t> picks = SampleRequests(whole.requests, RunsPerScript(wholeTime));
    for (FailureMode mode : {FailureMode::kFromNth, FailureMode::kOnlyNth}) {
        const char* modeName = mode == FailureMode::kFromNth ? "from the Nth on" : "only the Nth";
        size_t passed = 0, outOfMemory = 0;
        for (size_t failAt : picks) {
            const RunResult run = runWith(failAt, mode);
            SCOPED_TRACE(std::string(modeName) + ", N = " + std::to_string(failAt));
            EXPECT_FALSE(run.result.empty());
            // What the script did not finish shows the reason: memory ran out.
            if (Passed(run.result)) {
                ++passed;
            } else {
                EXPECT_NE(run.result.find("not enough memory"), std::string::npos) << run.result;
                ++outOfMemory;
            }
            EXPECT_TRUE(run.nextOk) << run.nextResult;
            EXPECT_EQ(run.nextResult, kNextResult);
        }
        std::cout << "[ ALLOCFAIL] " << GetParam() << ": " << whole.requests << " requests, " << picks.size()
                  << " runs failing " << modeName << ": " << outOfMemory << " ran out of memory, " << passed
                  << " passed\n";
    }
}

INSTANTIATE_TEST_SUITE_P(Scripts, LuaHeapFailure, ::testing::ValuesIn(orvextest::ScriptTestNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace

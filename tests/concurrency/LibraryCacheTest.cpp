// The orvexLibrary module cache under several threads at once.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "LuaEngineInterface.h"
#include "TestSupport.h"
#include "data/LoadLibraryCache.h"

using orvex::CLoadLibraryCache;

namespace {

#ifdef _WIN32
const std::string kPlugin = std::string(ORVEX_PLUGIN_DIR) + "/echo_plugin.dll";
#else
const std::string kPlugin = std::string(ORVEX_PLUGIN_DIR) + "/echo_plugin.so";
#endif

TEST(LibraryCache, CloseIsRefusedWhileACallIsInsideTheModule) {
    CLoadLibraryCache& cache = *CLoadLibraryCache::GetInstance();
    ASSERT_TRUE(cache.OpenModule(kPlugin));

    std::string blockResult;
    std::thread caller([&] { blockResult = cache.InvokeModuleFunc(kPlugin, "Block", "x"); });
    bool inside = false;
    for (int i = 0; i < 5000 && !inside; ++i) {
        inside = cache.InvokeModuleFunc(kPlugin, "BlockState", "x") == "inside";
        if (!inside) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(inside) << "the call never entered the module";

    // Unloading now would unmap the code the other thread is running.
    EXPECT_FALSE(cache.ReleaseModule(kPlugin));
    EXPECT_TRUE(cache.HasModule(kPlugin));
    EXPECT_TRUE(cache.OpenModule(kPlugin));
    EXPECT_EQ(cache.InvokeModuleFunc(kPlugin, "Echo", "still there"), "still there");

    EXPECT_EQ(cache.InvokeModuleFunc(kPlugin, "Unblock", "x"), "ok");
    caller.join();
    EXPECT_EQ(blockResult, "released");
    EXPECT_TRUE(cache.ReleaseModule(kPlugin));
    EXPECT_FALSE(cache.HasModule(kPlugin));
}

// Each script thread loads, calls and closes the one module over and over,
// racing the others; a call may find the module closed (no result) but
// never another thread's text, and the cache ends empty.
TEST(LibraryCache, ScriptsLoadCallAndCloseOneModuleAtOnce) {
    orvextest::TempDir dir;
    orvextest::WriteScript(dir.file("race.lua"),
                           "function orvexScriptMain(plugin, me)\n"
                           "  local L, calls = orvexLibrary, 0\n"
                           "  for i = 1, 150 do\n"
                           "    L.LoadModule(plugin)\n"
                           "    local text = me .. ':' .. i\n"
                           "    local got = L.CallModuleFuncWithParam(plugin, 'Echo', text)\n"
                           "    if got ~= nil and got ~= text then return 'crossed: ' .. got end\n"
                           "    if got then calls = calls + 1 end\n"
                           "    L.IsLoadLibrary(plugin)\n"
                           "    L.CloseModule(plugin)\n"
                           "  end\n"
                           "  return 'calls ' .. calls\n"
                           "end\n");
    constexpr int kThreads = 4;
    std::vector<std::string> results(kThreads);
    std::vector<char> ok(kThreads, 0);  // not vector<bool>: threads write neighbouring entries
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::string result;
            ok[t] = CLuaEngineInterface::ExecLua(dir.file("race.lua"), "", result, {kPlugin, std::to_string(t)},
                                                 false);
            results[t] = result;
        });
    }
    for (auto& thread : threads) thread.join();
    int calls = 0;
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_TRUE(ok[t]);
        ASSERT_EQ(results[t].rfind("calls ", 0), 0u) << results[t];
        calls += std::stoi(results[t].substr(6));
    }
    EXPECT_GT(calls, 0);

    CLoadLibraryCache& cache = *CLoadLibraryCache::GetInstance();
    cache.ReleaseModule(kPlugin);  // the last thread's load may have won
    EXPECT_FALSE(cache.HasModule(kPlugin));
}

}  // namespace

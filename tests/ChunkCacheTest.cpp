// Compiled main chunks kept per Lua state: a run of the same source skips the
// parse and behaves as if it had loaded the source again.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "LuaEngineInterface.h"
#include "LuaWorker.h"
#include "TestSupport.h"

namespace {

using orvex::CLuaWorker;
using orvextest::TempDir;
using orvextest::WriteScript;

std::string RunOn(CLuaWorker& w, const std::string& source, const std::string& function = "") {
    std::string result = "preset";
    bool ok = w.ExecScript(source, function, result, {});
    return (ok ? "true:" : "false:") + result;
}

TEST(ChunkCache, ACachedChunkRunsAsIfLoadedAgain) {
    CLuaWorker w;
    // Every run runs the main chunk again, in the state's globals, even when
    // the last run gave the chunk an environment of its own.
    const std::string counting =
        "runs = (runs or 0) + 1\n"
        "function orvexScriptMain() return runs end\n";
    EXPECT_EQ(RunOn(w, counting), "true:1");
    EXPECT_EQ(RunOn(w, counting), "true:2");
    EXPECT_EQ(w.CachedChunkCount(), 1u);
    const std::string ownEnv =
        "local g = _G\n"
        "seen = (seen or 0) + 1\n"
        "setfenv(1, {orvexScriptMain = function() return tostring(g.seen) end})\n"
        "g.orvexScriptMain = orvexScriptMain\n"
        "hidden = 'only in the chunk environment'\n";
    EXPECT_EQ(RunOn(w, ownEnv), "true:1");
    EXPECT_EQ(RunOn(w, ownEnv), "true:2");
    EXPECT_EQ(RunOn(w, "function orvexScriptMain() return tostring(hidden) end"), "true:nil");

    // Error texts cite the chunk name and line, as a fresh load does; load
    // errors are not kept.
    const std::string failing = "\n\nfunction f() error('boom') end";
    EXPECT_EQ(RunOn(w, failing, "f"), "true:[string \"f\"]:3: boom");
    EXPECT_EQ(RunOn(w, failing, "f"), "true:[string \"f\"]:3: boom");
    const size_t before = w.CachedChunkCount();
    const std::string broken = "function orvexScriptMain() return (";
    const std::string message = RunOn(w, broken);
    EXPECT_EQ(message.rfind("false:[string \"orvexScriptMain\"]:1:", 0), 0u) << message;
    EXPECT_EQ(RunOn(w, broken), message);
    EXPECT_EQ(w.CachedChunkCount(), before);
    // The same source under another chunk name is another chunk.
    EXPECT_EQ(RunOn(w, failing, "g"), "false:isfunction fail");
    EXPECT_EQ(w.CachedChunkCount(), before + 1);
}

// A precompiled chunk (Lua runs one unchecked) is not loaded as a script,
// a module or a variable source.
TEST(ChunkCache, BinaryChunksAreNotLoaded) {
    CLuaWorker w;
    std::string binary = RunOn(w, "function orvexScriptMain() return string.dump(function() return 1 end) end");
    ASSERT_EQ(binary.rfind("true:\033Lua", 0), 0u);
    binary.erase(0, 5);
    EXPECT_EQ(RunOn(w, binary), "false:binary chunks are not loaded");
    EXPECT_EQ(w.GetVarInt(binary, "x"), 0);
    EXPECT_EQ(w.CachedChunkCount(), 1u);
}

TEST(ChunkCache, AtMostThirtyChunksAndClearLuaCacheDropsThem) {
    CLuaWorker w;
    for (int i = 0; i < 31; ++i)
        EXPECT_EQ(RunOn(w, "function orvexScriptMain() return " + std::to_string(i) + " end"),
                  "true:" + std::to_string(i));
    EXPECT_EQ(w.CachedChunkCount(), 30u);
    CLuaEngineInterface::ClearLuaCache();
    // Noticed at the next load.
    EXPECT_EQ(RunOn(w, "function orvexScriptMain() return 'after' end"), "true:after");
    EXPECT_EQ(w.CachedChunkCount(), 1u);
}

TEST(ChunkCache, EditedScriptsRunTheirNewText) {
    TempDir dir;
    const std::string plain = dir.file("plain.lua"), encoded = dir.file("encoded.lua");
    std::thread([&] {
        std::string result;
        WriteScript(plain, "function orvexScriptMain() return 'old' end\n");
        WriteScript(encoded, "function orvexScriptMain() return 'old' end\n", true);
        EXPECT_TRUE(CLuaEngineInterface::ExecLua(plain, "", result, {}, false));
        EXPECT_EQ(result, "old");
        EXPECT_TRUE(CLuaEngineInterface::ExecLua(encoded, "", result, {}, true));
        EXPECT_EQ(result, "old");
        // A plain file is read every call: its new text runs at once.
        WriteScript(plain, "function orvexScriptMain() return 'new' end\n");
        EXPECT_TRUE(CLuaEngineInterface::ExecLua(plain, "", result, {}, false));
        EXPECT_EQ(result, "new");
        // An encoded one is served from the source cache until it is cleared.
        WriteScript(encoded, "function orvexScriptMain() return 'new' end\n", true);
        EXPECT_TRUE(CLuaEngineInterface::ExecLua(encoded, "", result, {}, true));
        EXPECT_EQ(result, "old");
        CLuaEngineInterface::ClearLuaCache();
        EXPECT_TRUE(CLuaEngineInterface::ExecLua(encoded, "", result, {}, true));
        EXPECT_EQ(result, "new");
        // Variables read through the same chunks.
        WriteScript(plain, "limit = 12\nnames = {a = 'x'}\n");
        EXPECT_EQ(CLuaEngineInterface::GetVarInt(plain, "limit", false), 12);
        EXPECT_EQ(CLuaEngineInterface::GetVarInt(plain, "limit", false), 12);
        WriteScript(plain, "limit = 13\n");
        EXPECT_EQ(CLuaEngineInterface::GetVarInt(plain, "limit", false), 13);
        EXPECT_EQ(CLuaEngineInterface::GetVarMap(plain, "names", false).size(), 1u);  // set by the earlier run
    }).join();
}

}  // namespace

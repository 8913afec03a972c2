// ExecLua on a warm thread next to bare Lua doing the same work, and the
// throughput of two calling threads against one.
extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>

#include "BenchSupport.h"
#include "LuaEngineInterface.h"
#include "LuaEngineManager.h"
#include "LuaWorker.h"
#include "OrvexHost.h"

namespace {

const char kScript[] =
    "local limits = {cpu = 80, mem = 90}\n"
    "function orvexScriptMain(name, value)\n"
    "  local n = tonumber(value) or 0\n"
    "  local parts = {}\n"
    "  for k, v in pairs(limits) do parts[#parts + 1] = k .. '=' .. (n > v and 'over' or 'ok') end\n"
    "  table.sort(parts)\n"
    "  return name .. ':' .. table.concat(parts, ',')\n"
    "end\n";

std::string g_dir;
std::string g_plainPath;
std::string g_encodedPath;
std::string g_largeSource;
std::string g_largePlainPath;
std::string g_largeEncodedPath;

// A policy script of the size agents ship: 400 small functions (about 49 KB),
// the entry function calling a few of them.
std::string LargeScript() {
    std::string s = "local checks = {}\n";
    for (int i = 0; i < 400; ++i) {
        const std::string n = std::to_string(i);
        s += "function c" + n + "(value, limit)\n"
             "  local over = (tonumber(value) or 0) > (limit or " + n + ")\n"
             "  return {ok = not over}\n"
             "end\n"
             "checks[#checks + 1] = c" + n + "\n";
    }
    s += "function orvexScriptMain(name, value)\n"
         "  local failed = 0\n"
         "  for i = 1, 10 do if not checks[i](value, 50).ok then failed = failed + 1 end end\n"
         "  return name .. ':' .. failed\n"
         "end\n";
    return s;
}

void WriteFiles() {
    char pattern[] = "/tmp/orvex-bench-XXXXXX";
    g_dir = mkdtemp(pattern);
    g_plainPath = g_dir + "/plain.lua";
    g_encodedPath = g_dir + "/encoded.lua";
    std::ofstream(g_plainPath, std::ios::binary) << kScript;
    std::ofstream(g_encodedPath, std::ios::binary) << orvex::CLuaEngineManager::EncodeScriptText(kScript);
    g_largeSource = LargeScript();
    g_largePlainPath = g_dir + "/large.lua";
    g_largeEncodedPath = g_dir + "/large-encoded.lua";
    std::ofstream(g_largePlainPath, std::ios::binary) << g_largeSource;
    std::ofstream(g_largeEncodedPath, std::ios::binary) << orvex::CLuaEngineManager::EncodeScriptText(g_largeSource);
}

// The same kind of read the engine makes: open, size, one read.
std::string ReadWhole(const std::string& path) {
    std::string out;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return out;
    fseek(f, 0, SEEK_END);
    long size = ftell(f);
    fseek(f, 0, SEEK_SET);
    if (size > 0) {
        out.resize(static_cast<size_t>(size));
        out.resize(fread(&out[0], 1, out.size(), f));
    }
    fclose(f);
    return out;
}

// Bare Lua: the same state contents (standard and orvex libraries), the same
// load, run, call and full collection as one ExecLua.
struct BareLua {
    lua_State* L;
    BareLua() : L(luaL_newstate()) {
        luaL_openlibs(L);
        luaopen_LuaEngine(L);
        lua_settop(L, 0);
    }
    ~BareLua() { lua_close(L); }
    bool Run(const std::string& source, std::string& result) {
        if (luaL_loadbuffer(L, source.data(), source.size(), "orvexScriptMain") || lua_pcall(L, 0, 0, 0)) {
            lua_settop(L, 0);
            return false;
        }
        lua_getfield(L, LUA_GLOBALSINDEX, "orvexScriptMain");
        lua_pushlstring(L, "host", 4);
        lua_pushlstring(L, "85", 2);
        if (lua_pcall(L, 2, 1, 0)) {
            lua_settop(L, 0);
            return false;
        }
        lua_gc(L, LUA_GCCOLLECT, 0);
        size_t len = 0;
        const char* s = lua_tolstring(L, -1, &len);
        result.assign(s, len);
        lua_settop(L, 0);
        return true;
    }
};

const std::vector<std::string> kArgs = {"host", "85"};

void BM_BareLua_PlainFile(benchmark::State& state) {
    BareLua lua;
    std::string result;
    for (auto _ : state) {
        std::string source = ReadWhole(g_plainPath);
        if (!lua.Run(source, result)) state.SkipWithError("run failed");
    }
}

void BM_Engine_PlainFile(benchmark::State& state) {
    std::string result;
    for (auto _ : state) {
        if (!CLuaEngineInterface::ExecLua(g_plainPath, "", result, kArgs, false)) state.SkipWithError("run failed");
    }
}

// The same with a run time limit set (far above what the call takes): the
// cost of the bounds themselves.
void BM_Engine_PlainFile_TimeLimit(benchmark::State& state) {
    std::string result;
    orvexSetRunTimeLimit(60000);
    for (auto _ : state) {
        if (!CLuaEngineInterface::ExecLua(g_plainPath, "", result, kArgs, false)) state.SkipWithError("run failed");
    }
    orvexSetRunTimeLimit(0);
}

void BM_BareLua_SourceInMemory(benchmark::State& state) {
    BareLua lua;
    const std::string source = kScript;
    std::string result;
    for (auto _ : state) {
        if (!lua.Run(source, result)) state.SkipWithError("run failed");
    }
}

void BM_Engine_EncodedCached(benchmark::State& state) {
    std::string result;
    for (auto _ : state) {
        if (!CLuaEngineInterface::ExecLua(g_encodedPath, "", result, kArgs, true)) state.SkipWithError("run failed");
    }
}

// The large script: bare Lua reads, loads, runs, calls and collects it every
// time; the engine parses it once per state and then runs the kept chunk.
void BM_BareLua_LargeScript(benchmark::State& state) {
    BareLua lua;
    std::string result;
    for (auto _ : state) {
        std::string source = ReadWhole(g_largePlainPath);
        if (!lua.Run(source, result)) state.SkipWithError("run failed");
    }
}

void BM_Engine_LargeScript(benchmark::State& state) {
    std::string result;
    for (auto _ : state) {
        if (!CLuaEngineInterface::ExecLua(g_largePlainPath, "", result, kArgs, false))
            state.SkipWithError("run failed");
    }
}

void BM_Engine_LargeScriptEncoded(benchmark::State& state) {
    std::string result;
    for (auto _ : state) {
        if (!CLuaEngineInterface::ExecLua(g_largeEncodedPath, "", result, kArgs, true))
            state.SkipWithError("run failed");
    }
}

// What keeping the large script's compiled chunk adds to a state: its Lua
// heap after a run, less the same state's once ClearLuaCache has made it
// drop its chunks (the functions the script defined stay either way).
size_t KeptChunkBytes() {
    size_t bytes = 0;
    std::thread([&] {
        std::string result;
        auto heap = [] { return orvex::CLuaEngineManager::Instance().GetThreadWorker()->Allocator().BytesInUse(); };
        CLuaEngineInterface::ExecLua(g_largePlainPath, "", result, kArgs, false);
        CLuaEngineInterface::ExecLua(g_plainPath, "", result, kArgs, false);
        const size_t kept = heap();
        CLuaEngineInterface::ClearLuaCache();
        CLuaEngineInterface::ExecLua(g_plainPath, "", result, kArgs, false);
        const size_t dropped = heap();
        bytes = kept > dropped ? kept - dropped : 0;
    }).join();
    return bytes;
}

// An idle state, as a fresh calling thread gets it (all fifteen libraries
// installed), after a full collection: its Lua heap, and the bytes of the
// allocator's chunks that no block takes.
struct IdleFootprint {
    size_t heap = 0, unusedChunkBytes = 0, chunks = 0;
};
IdleFootprint IdleStateFootprint() {
    IdleFootprint f;
    std::thread([&] {
        auto worker = orvex::CLuaEngineManager::Instance().GetThreadWorker();
        if (!worker || !worker->EnsureState()) return;
        lua_gc(worker->State(), LUA_GCCOLLECT, 0);
        const orvex::CLuaStateAllocator& allocator = worker->Allocator();
        f.heap = allocator.BytesInUse();
        f.unusedChunkBytes = allocator.UnusedChunkBytes();
        f.chunks = allocator.ChunkCount();
    }).join();
    return f;
}

void BM_Engine_Threads(benchmark::State& state) {
    std::string result;
    for (auto _ : state) {
        if (!CLuaEngineInterface::ExecLua(g_plainPath, "", result, kArgs, false)) state.SkipWithError("run failed");
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Engine_EncodedThreads(benchmark::State& state) {
    std::string result;
    for (auto _ : state) {
        if (!CLuaEngineInterface::ExecLua(g_encodedPath, "", result, kArgs, true)) state.SkipWithError("run failed");
    }
    state.SetItemsProcessed(state.iterations());
}

// The same calls on bare Lua, one state per thread, its memory from the C
// library's heap (luaL_newstate): the engine gives each state its own small
// block chunks instead. How this one scales with two threads depends on
// which of the C library's per-thread heaps the benchmark's threads get, so
// it moves between runs; it is printed for comparison only.
void BM_BareLua_Threads(benchmark::State& state) {
    BareLua lua;
    std::string result;
    for (auto _ : state) {
        std::string source = ReadWhole(g_plainPath);
        if (!lua.Run(source, result)) state.SkipWithError("run failed");
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_BareLua_PlainFile);
BENCHMARK(BM_Engine_PlainFile);
BENCHMARK(BM_Engine_PlainFile_TimeLimit);
BENCHMARK(BM_BareLua_SourceInMemory);
BENCHMARK(BM_Engine_EncodedCached);
BENCHMARK(BM_Engine_Threads)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_Engine_EncodedThreads)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_BareLua_Threads)->Threads(1)->Threads(2)->UseRealTime();
// Last: the large script's globals stay in the calling thread's state, and
// every full collection after a call walks them.
BENCHMARK(BM_BareLua_LargeScript);
BENCHMARK(BM_Engine_LargeScript);
BENCHMARK(BM_Engine_LargeScriptEncoded);

}  // namespace

int main(int argc, char** argv) {
    WriteFiles();
    benchmark::Initialize(&argc, argv);
    orvexbench::RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printf("\nratios (engine / bare Lua per call: lower is better; target 1.15 or less)\n");
    orvexbench::PrintTimeRatio(reporter, "plain script, warm thread", "BM_Engine_PlainFile", "BM_BareLua_PlainFile");
    orvexbench::PrintTimeRatio(reporter, "encoded script, cached", "BM_Engine_EncodedCached",
                               "BM_BareLua_SourceInMemory");
    printf("a 49 KB script of 400 functions, compiled once per state (target 0.2 or less)\n");
    orvexbench::PrintTimeRatio(reporter, "large script, plain file", "BM_Engine_LargeScript", "BM_BareLua_LargeScript");
    orvexbench::PrintTimeRatio(reporter, "large script, encoded", "BM_Engine_LargeScriptEncoded",
                               "BM_BareLua_LargeScript");
    printf("%-48s %12zu bytes of Lua heap, and its %zu-byte source kept beside it\n",
           "what the kept large chunk adds to a state", KeptChunkBytes(), g_largeSource.size());
    const IdleFootprint idle = IdleStateFootprint();
    printf("%-48s %12zu bytes: %zu of Lua heap and %zu unused in its %zu chunks (target 65536 or less)\n",
           "an idle state with every library", idle.heap + idle.unusedChunkBytes, idle.heap, idle.unusedChunkBytes,
           idle.chunks);
    reporter.AddRatio("idle state bytes / 64 KiB", static_cast<double>(idle.heap + idle.unusedChunkBytes) / 65536.0);
    printf("run limits (limit set / none, per call: target 1.05 or less)\n");
    orvexbench::PrintTimeRatio(reporter, "plain script with a run time limit", "BM_Engine_PlainFile_TimeLimit",
                               "BM_Engine_PlainFile");
    printf("throughput (2 threads / 1 thread: higher is better; target 1.8 or more on 2 cores)\n");
    orvexbench::PrintThroughputRatio(reporter, "ExecLua, 2 calling threads vs 1",
                                     "BM_Engine_Threads/real_time/threads:2", "BM_Engine_Threads/real_time/threads:1");
    orvexbench::PrintThroughputRatio(reporter, "ExecLua of a cached encoded script, 2 threads vs 1",
                                     "BM_Engine_EncodedThreads/real_time/threads:2",
                                     "BM_Engine_EncodedThreads/real_time/threads:1");
    orvexbench::PrintThroughputRatio(reporter, "bare Lua on the C library heap, 2 threads vs 1",
                                     "BM_BareLua_Threads/real_time/threads:2", "BM_BareLua_Threads/real_time/threads:1");
    reporter.PrintRatioLines();
    remove(g_plainPath.c_str());
    remove(g_encodedPath.c_str());
    remove(g_largePlainPath.c_str());
    remove(g_largeEncodedPath.c_str());
    rmdir(g_dir.c_str());
    return 0;
}

// orvexJson against lua-cjson in one engine Lua state: JsonToTable next to
// cjson.decode, GetJsonBuffer next to cjson.encode, on the same documents
// (about 1 KB, 100 KB and 5 MB of nested objects, arrays, numbers and strings
// with escapes; and, for GetJsonBuffer, flat tables of 200 and 10,000 short
// strings). Prints each pair's CPU-time ratio (ours / cjson) at the end:
// CPU time, as the work is single-threaded and the machine may be shared.
//
// GetJsonBuffer takes a flat table; its nested members come as JSON texts
// that it embeds. Its input is therefore JsonToTable(doc, 1) (the top-level
// members as texts), cjson.encode's input cjson.decode(doc); both produce
// the same document.
#include <benchmark/benchmark.h>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "LuaEngineInterface.h"
#include "data/JsonDocument.h"

namespace {

// ---- documents -------------------------------------------------------------

class Generator {
public:
    unsigned Next() {
        m_state = m_state * 1103515245u + 12345u;
        return (m_state >> 16) & 0x7fff;
    }
    std::string Text() {
        static const char* const kParts[] = {
            "plain words", "say \\\"hi\\\"", "C:\\\\Program Files\\\\orvex", "line\\nbreak\\ttab",
            "caf\\u00e9", "\\u4e2d\\u6587", "emoji \\ud83d\\ude00", "slash/and\\/escaped", "x"};
        std::string s;
        for (unsigned i = 0, n = 1 + Next() % 3; i < n; ++i) {
            if (i) s += ' ';
            s += kParts[Next() % (sizeof kParts / sizeof *kParts)];
        }
        return "\"" + s + "\"";
    }
    std::string Number() {
        unsigned v = Next();
        return v % 3 == 0 ? std::to_string(v) + ".5" : std::to_string(static_cast<int>(v) - 9000);
    }
    // One record: an object with scalars, an array and nested objects.
    std::string Record(int id) {
        std::string r = "{\"id\":" + std::to_string(id) + ",\"name\":" + Text() + ",\"score\":" + Number() +
                        ",\"active\":" + (Next() % 2 ? "true" : "false") + ",\"tags\":[";
        for (unsigned i = 0, n = Next() % 5; i < n; ++i) r += (i ? "," : "") + Text();
        r += "],\"meta\":{\"owner\":" + Text() + ",\"parent\":null,\"limits\":[" + Number() + "," + Number() +
             "],\"nested\":{\"level\":" + Number() + ",\"path\":[{\"k\":" + Text() + "},[1,2,[3]]]}}}";
        return r;
    }

private:
    unsigned m_state = 20240601u;
};

// A top-level object of records and arrays of records, at least `target`
// bytes long.
std::string MakeDocument(size_t target) {
    Generator g;
    std::string doc = "{";
    for (int i = 0; doc.size() < target; ++i) {
        if (i) doc += ',';
        doc += "\"m" + std::to_string(i) + "\":";
        if (i % 3 == 2) {
            doc += "[" + g.Record(i) + "," + g.Record(i + 1) + "]";
        } else {
            doc += g.Record(i);
        }
    }
    return doc + "}";
}

// ---- the Lua state ---------------------------------------------------------

const char kSetup[] = R"lua(
local cjson = require "cjson"
local docs = ...
-- Compares two values deeply; the path of keys to a difference is made
-- into text only when there is one.
local keys = {}
local function where()
    local parts = {}
    for i, k in ipairs(keys) do parts[i] = tostring(k) end
    return table.concat(parts, ".")
end
local function same(a, b)
    if a == cjson.null then a = nil end
    if b == cjson.null then b = nil end
    if type(a) ~= type(b) then error(where() .. ": " .. type(a) .. " vs " .. type(b)) end
    if type(a) ~= "table" then
        if a ~= b then error(where() .. ": " .. tostring(a) .. " vs " .. tostring(b)) end
        return
    end
    for k, v in pairs(a) do keys[#keys + 1] = k; same(v, b[k]); keys[#keys] = nil end
    for k, v in pairs(b) do keys[#keys + 1] = k; same(a[k], v); keys[#keys] = nil end
end
local function check(a, b, name)
    keys = { name }
    same(a, b)
end
bench = { cjson_decode = cjson.decode, cjson_encode = cjson.encode,
          JsonToTable = orvexJson.JsonToTable, GetJsonBuffer = orvexJson.GetJsonBuffer }
inputs = {}
for name, doc in pairs(docs) do
    local decoded = cjson.decode(doc)
    check(orvexJson.JsonToTable(doc), decoded, name)
    local flat = orvexJson.JsonToTable(doc, 1)
    check(cjson.decode(orvexJson.GetJsonBuffer(flat)), decoded, name .. " (GetJsonBuffer)")
    inputs[name] = { text = doc, flat = flat, tables = decoded }
end
-- Flat tables of short strings: the same table is both functions' input.
for _, n in ipairs({200, 10000}) do
    local t = {}
    for i = 1, n do t["key" .. i] = "value " .. i end
    check(cjson.decode(orvexJson.GetJsonBuffer(t)), t, "flat" .. n)
    inputs["flat" .. n] = { flat = t, tables = t, size = #cjson.encode(t) }
end
)lua";

lua_State* g_L = nullptr;
const char* const kFlatTables[] = {"flat200", "flat10000"};
std::map<std::string, size_t> g_sizes;
std::map<std::string, std::string> g_texts;

void OpenState() {
    g_L = luaL_newstate();
    luaL_openlibs(g_L);
    luaopen_LuaEngine(g_L);
    lua_settop(g_L, 0);
    const std::pair<const char*, size_t> docs[] = {{"small", 1024}, {"medium", 100 * 1024}, {"large", 5 << 20}};
    if (luaL_loadbuffer(g_L, kSetup, sizeof kSetup - 1, "setup") != 0) {
        std::fprintf(stderr, "setup: %s\n", lua_tostring(g_L, -1));
        std::exit(1);
    }
    lua_newtable(g_L);
    for (const auto& d : docs) {
        std::string text = MakeDocument(d.second);
        g_sizes[d.first] = text.size();
        g_texts[d.first] = text;
        lua_pushlstring(g_L, text.data(), text.size());
        lua_setfield(g_L, -2, d.first);
    }
    if (lua_pcall(g_L, 1, 0, 0) != 0) {
        std::fprintf(stderr, "setup: %s\n(is lua-cjson installed? scripts/bench.sh installs it)\n",
                     lua_tostring(g_L, -1));
        std::exit(1);
    }
    for (const char* flat : kFlatTables) {
        lua_getglobal(g_L, "inputs");
        lua_getfield(g_L, -1, flat);
        lua_getfield(g_L, -1, "size");
        g_sizes[flat] = static_cast<size_t>(lua_tointeger(g_L, -1));
        lua_settop(g_L, 0);
    }
}

// Calls bench[fn](inputs[doc][field]) once per iteration.
void RunCall(benchmark::State& state, const char* fn, const char* doc, const char* field) {
    lua_State* L = g_L;
    lua_settop(L, 0);
    lua_getglobal(L, "bench");
    lua_getfield(L, 1, fn);
    lua_getglobal(L, "inputs");
    lua_getfield(L, 3, doc);
    lua_getfield(L, 4, field);  // 5: the argument
    lua_gc(L, LUA_GCCOLLECT, 0);
    for (auto _ : state) {
        lua_pushvalue(L, 2);
        lua_pushvalue(L, 5);
        lua_call(L, 1, 1);
        benchmark::DoNotOptimize(lua_topointer(L, -1));
        lua_pop(L, 1);
    }
    lua_settop(L, 0);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(g_sizes[doc]));
}

// Breakdown: RapidJSON's bounded parse alone (no Lua), the first step of
// JsonToTable.
void RunParseOnly(benchmark::State& state, const char* doc) {
    const std::string& text = g_texts.at(doc);
    for (auto _ : state) {
        rapidjson::Document parsed;
        benchmark::DoNotOptimize(orvex::json::ParseBounded(parsed, text.data(), text.size()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

#define JSON_BENCH(doc)                                                                                  \
    void BM_##doc##_JsonToTable(benchmark::State& s) { RunCall(s, "JsonToTable", #doc, "text"); }     \
    void BM_##doc##_CjsonDecode(benchmark::State& s) { RunCall(s, "cjson_decode", #doc, "text"); }    \
    void BM_##doc##_GetJsonBuffer(benchmark::State& s) { RunCall(s, "GetJsonBuffer", #doc, "flat"); } \
    void BM_##doc##_CjsonEncode(benchmark::State& s) { RunCall(s, "cjson_encode", #doc, "tables"); }  \
    void BM_##doc##_ParseOnly(benchmark::State& s) { RunParseOnly(s, #doc); }                          \
    BENCHMARK(BM_##doc##_ParseOnly)->Unit(benchmark::kMicrosecond);                                    \
    BENCHMARK(BM_##doc##_JsonToTable)->Unit(benchmark::kMicrosecond);                                  \
    BENCHMARK(BM_##doc##_CjsonDecode)->Unit(benchmark::kMicrosecond);                                  \
    BENCHMARK(BM_##doc##_GetJsonBuffer)->Unit(benchmark::kMicrosecond);                                \
    BENCHMARK(BM_##doc##_CjsonEncode)->Unit(benchmark::kMicrosecond);

JSON_BENCH(small)
JSON_BENCH(medium)
JSON_BENCH(large)

#define FLAT_BENCH(doc)                                                                                  \
    void BM_##doc##_GetJsonBuffer(benchmark::State& s) { RunCall(s, "GetJsonBuffer", #doc, "flat"); } \
    void BM_##doc##_CjsonEncode(benchmark::State& s) { RunCall(s, "cjson_encode", #doc, "tables"); }  \
    BENCHMARK(BM_##doc##_GetJsonBuffer)->Unit(benchmark::kMicrosecond);                                \
    BENCHMARK(BM_##doc##_CjsonEncode)->Unit(benchmark::kMicrosecond);

FLAT_BENCH(flat200)
FLAT_BENCH(flat10000)

// Ratio table: orvexJson CPU time over lua-cjson CPU time per document.
void PrintRatios(orvexbench::RecordingReporter& r) {
    using orvexbench::Clock;
    std::printf("\nratio = orvexJson CPU time / lua-cjson CPU time (below 1: orvexJson faster)\n");
    for (const char* doc : {"small", "medium", "large"}) {
        auto ratio = [&](const char* ours, const char* theirs) {
            return r.Ratio(std::string("BM_") + doc + "_" + ours, std::string("BM_") + doc + "_" + theirs, Clock::Cpu);
        };
        std::printf("%-6s (%8zu bytes)  JsonToTable/decode %.2f   GetJsonBuffer/encode %.2f"
                    "   (parse alone/JsonToTable %.2f)\n",
                    doc, g_sizes.at(doc), ratio("JsonToTable", "CjsonDecode"), ratio("GetJsonBuffer", "CjsonEncode"),
                    ratio("ParseOnly", "JsonToTable"));
        r.AddRatio(std::string(doc) + " JsonToTable/decode", ratio("JsonToTable", "CjsonDecode"));
        r.AddRatio(std::string(doc) + " GetJsonBuffer/encode", ratio("GetJsonBuffer", "CjsonEncode"));
        r.AddRatio(std::string(doc) + " parse alone/JsonToTable", ratio("ParseOnly", "JsonToTable"));
    }
    for (const char* doc : kFlatTables) {
        double ratio = r.Ratio(std::string("BM_") + doc + "_GetJsonBuffer", std::string("BM_") + doc + "_CjsonEncode",
                               Clock::Cpu);
        std::printf("%-9s (%8zu bytes)  GetJsonBuffer/encode %.2f\n", doc, g_sizes.at(doc), ratio);
        r.AddRatio(std::string(doc) + " GetJsonBuffer/encode", ratio);
    }
    r.PrintRatioLines();
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    OpenState();
    orvexbench::RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintRatios(reporter);
    lua_close(g_L);
    benchmark::Shutdown();
    return 0;
}

// The exported engine functions and the worker behind them.
#include <gtest/gtest.h>

extern "C" {
#include <lua.h>
}

#include <thread>

#include "LuaEngineInterface.h"
#include "LuaEngineManager.h"
#include "LuaWorker.h"
#include "TestSupport.h"

using orvex::CLuaEngineManager;
using orvex::CLuaWorker;
using orvextest::TempDir;
using orvextest::WriteScript;

namespace {

struct Outcome {
    bool ok;
    std::string result;
};

// Runs `source` as a plain script on a worker of its own, with the result
// string preset to "preset".
Outcome RunOnWorker(CLuaWorker& worker, const std::string& source, const std::string& function = "",
                    const std::vector<std::string>& args = {}) {
    Outcome o{false, "preset"};
    o.ok = worker.ExecScript(source, function, o.result, args);
    EXPECT_EQ(lua_gettop(worker.State()), 0) << "stack not empty after: " << source;
    return o;
}

TEST(Worker, OutcomeAndResultOfEveryKindOfReturn) {
    CLuaWorker w;
    auto run = [&](const std::string& body) { return RunOnWorker(w, "function orvexScriptMain() " + body + " end"); };

    Outcome o = run("return 3");
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.result, "3");
    o = run("return 1/2");
    EXPECT_EQ(o.result, "0.5");
    o = run("return 1e15");
    EXPECT_EQ(o.result, "1e+15");  // Lua's %.14g form
    o = run("return 'text'");
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.result, "text");
    o = run("return nil");
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.result, "preset");
    o = run("");
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.result, "preset");
    o = run("return {}");
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.result, "preset");
    o = run("return false");
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.result, "preset");
    o = run("return true");
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.result, "preset");
    o = run("return 'first', 'second'");  // one result kept: the first
    EXPECT_EQ(o.result, "first");
}

TEST(Worker, ErrorsInsideTheFunctionAreTrueWithTheMessage) {
    CLuaWorker w;
    Outcome o = RunOnWorker(w, "\nfunction orvexScriptMain()\n  error('x')\nend");
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.result, "[string \"orvexScriptMain\"]:3: x");

    o = RunOnWorker(w, "function Named() error('boom') end", "Named");
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.result, "[string \"Named\"]:1: boom");

    // Error values that are not strings never crash and say what they were.
    o = RunOnWorker(w, "function orvexScriptMain() error({}) end");
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.result, "(error object is a table value)");
    o = RunOnWorker(w, "function orvexScriptMain() error(nil) end");
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.result, "(error object is a nil value)");
    o = RunOnWorker(w, "function orvexScriptMain() error(42) end");
    EXPECT_EQ(o.result, "[string \"orvexScriptMain\"]:1: 42");
}

TEST(Worker, LoadRunAndLookupFailuresAreFalse) {
    CLuaWorker w;
    Outcome o = RunOnWorker(w, "function orvexScriptMain( return 1 end");
    EXPECT_FALSE(o.ok);
    EXPECT_NE(o.result.find("[string \"orvexScriptMain\"]:1:"), std::string::npos) << o.result;

    o = RunOnWorker(w, "error('in main')\nfunction orvexScriptMain() return 1 end");
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.result, "[string \"orvexScriptMain\"]:1: in main");

    o = RunOnWorker(w, "error(setmetatable({}, {}))");
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.result, "(error object is a table value)");

    // A missing function: "isfunction fail", after the main chunk ran.
    o = RunOnWorker(w, "mainRan = 'yes'\nnotAFunction = 5", "notAFunction");
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.result, "isfunction fail");
    EXPECT_EQ(w.GetVarMap("t = {mainRan}", "t").at("1"), "yes");

    // Nothing to run: false and the result untouched.
    o = RunOnWorker(w, "");
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.result, "preset");
}

// Script code that the worker itself sets off (a metamethod of the globals
// table, a finalizer) may raise: the worker keeps its state and its usual
// answers.
TEST(Worker, RaisingMetamethodsAndFinalizersKeepTheState) {
    CLuaWorker w;
    const std::string strict =
        "kept = 7\n"
        "setmetatable(_G, {__index = function(_, k) error('undefined global ' .. k) end})\n"
        "function orvexScriptMain() return 'ran' end";
    Outcome o = RunOnWorker(w, strict, "Missing");
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.result, "isfunction fail");
    EXPECT_EQ(RunOnWorker(w, strict).result, "ran");
    EXPECT_EQ(w.GetVarInt("", "x"), 0);
    EXPECT_EQ(w.GetVarInt("local a = 1", "missing"), 0);
    EXPECT_EQ(w.GetVarInt("local a = 1", "kept"), 7);
    EXPECT_TRUE(w.GetVarMap("local a = 1", "missing").empty());

    const std::string finalizer =
        "function orvexScriptMain()\n"
        "  local p = newproxy(true)\n"
        "  getmetatable(p).__gc = function() error('finalizer failed') end\n"
        "  return 'result kept'\n"
        "end";
    o = RunOnWorker(w, finalizer);
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.result, "result kept");
    EXPECT_EQ(w.GetVarInt("local a = 1", "kept"), 7);
}

// Lack of memory inside the script is an error of the script; outside every
// protected call (pushing an argument) it costs the thread its state, which
// is replaced, and the call fails with "not enough memory".
TEST(Worker, LackOfMemoryFailsTheCallAndTheWorkerGoesOn) {
    CLuaWorker w;
    w.SetMemoryLimitForTesting(4 << 20);
    const std::string greedy =
        "kept = 'yes'\n"
        "function orvexScriptMain(arg)\n"
        "  if arg then return 'got ' .. #arg end\n"
        "  local t = {}\n"
        "  for i = 1, 1e7 do t[i] = 'item' .. i end\n"
        "end";
    Outcome o = RunOnWorker(w, greedy);
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.result, "not enough memory");
    EXPECT_EQ(RunOnWorker(w, "function orvexScriptMain() return kept end").result, "yes");

    o = RunOnWorker(w, greedy, "", {std::string(8 << 20, 'x')});
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.result, "not enough memory");
    EXPECT_EQ(RunOnWorker(w, "function orvexScriptMain() return kept end").result, "preset");  // a new state
    EXPECT_EQ(RunOnWorker(w, greedy, "", {"small"}).result, "got 5");
}

// Lua running out of memory inside a script function (while it pushes its
// result) gives the script Lua's own message, as anywhere else.
TEST(Worker, LackOfMemoryInsideAScriptFunctionKeepsLuasMessage) {
    CLuaWorker w;
    w.SetMemoryLimitForTesting(2 << 20);
    // The argument fits; its hex text, twice as long, does not.
    Outcome o = RunOnWorker(w,
                            "function orvexScriptMain(big)\n"
                            "  local ok, err = pcall(orvexUtil.toHex, big)\n"
                            "  return tostring(ok) .. ' ' .. tostring(err)\n"
                            "end",
                            "", {std::string(1 << 20, 'x')});
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.result, "false not enough memory");
}

// A state lost to lack of memory outside every protected call, while memory
// stays short, cannot be replaced at once; the worker makes one on the
// thread's next call. A state closed on purpose stays closed.
TEST(Worker, AStateThatCouldNotBeReplacedIsMadeOnTheNextCall) {
    CLuaWorker w;
    std::string result;
    w.AllocatorForTesting().FailAllocation(1, orvex::CLuaStateAllocator::FailureMode::kFromNth);
    // Pushing the argument is the first request for memory, and unprotected.
    EXPECT_FALSE(w.CallScriptFunction("tostring", result, {"a text Lua has not seen"}));
    EXPECT_EQ(result, "not enough memory");
    EXPECT_EQ(w.State(), nullptr);
    w.AllocatorForTesting().StopFailing();
    Outcome o = RunOnWorker(w, "function orvexScriptMain() return orvexUtil.toHex('ok') end");
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.result, "6f6b");

    w.CloseState();
    EXPECT_FALSE(w.ExecScript("function orvexScriptMain() return 1 end", "", result, {}));
    EXPECT_EQ(w.State(), nullptr);
}

TEST(Worker, ArgumentsArriveInOrderAsStrings) {
    CLuaWorker w;
    const std::string script =
        "function orvexScriptMain(...)\n"
        "  local parts = {select('#', ...)}\n"
        "  for i = 1, select('#', ...) do local v = select(i, ...)\n"
        "    parts[#parts + 1] = type(v) .. ':' .. v end\n"
        "  return table.concat(parts, ',')\n"
        "end";
    Outcome o = RunOnWorker(w, script, "", {"a", "", std::string("b\0c", 3), "12"});
    EXPECT_EQ(o.result, std::string("4,string:a,string:,string:b\0c,string:12", 39));
    o = RunOnWorker(w, script);
    EXPECT_EQ(o.result, "0");
}

TEST(Worker, TooManyArgumentsFailCleanly) {
    CLuaWorker w;
    const std::string script = "function orvexScriptMain(...) return select('#', ...) end";
    Outcome o = RunOnWorker(w, script, "", std::vector<std::string>(7000, "x"));
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.result, "7000");
    o = RunOnWorker(w, script, "", std::vector<std::string>(100000, "x"));
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.result, "too many arguments");
    // The worker goes on working.
    o = RunOnWorker(w, script, "", {"x"});
    EXPECT_EQ(o.result, "1");
}

TEST(Worker, GetVarIntRules) {
    CLuaWorker w;
    auto read = [&](const std::string& value) {
        int n = w.GetVarInt("v = " + value, "v");
        EXPECT_EQ(lua_gettop(w.State()), 0);
        return n;
    };
    EXPECT_EQ(read("7.0"), 7);
    EXPECT_EQ(read("'42'"), 42);
    EXPECT_EQ(read("{}"), 0);
    EXPECT_EQ(read("nil"), 0);
    EXPECT_EQ(read("'ten'"), 0);
    EXPECT_EQ(read("-3"), -3);
    // Rounded to nearest, halves to even, the same on every platform.
    EXPECT_EQ(read("12.7"), 13);
    EXPECT_EQ(read("2.5"), 2);
    EXPECT_EQ(read("3.5"), 4);
    EXPECT_EQ(read("-2.5"), -2);
    EXPECT_EQ(read("'0x10'"), 16);
    EXPECT_EQ(read("2^40"), INT_MIN);  // outside int, as the 32-bit build reads it
    // Failures give 0; the main chunk's return values do not matter.
    EXPECT_EQ(w.GetVarInt("v = 5 return 1, 2, 3", "v"), 5);
    EXPECT_EQ(w.GetVarInt("v = ", "v"), 0);
    EXPECT_EQ(w.GetVarInt("v = 9 error('x')", "v"), 0);
    EXPECT_EQ(w.GetVarInt("", "v"), 0);
    // The source is read up to its first zero byte.
    EXPECT_EQ(w.GetVarInt(std::string("v = 11\0 v = 12", 14), "v"), 11);
}

TEST(Worker, GetVarMapRules) {
    CLuaWorker w;
    auto map = w.GetVarMap("t = {a = '1', b = '', c = 5, d = true, e = {}}", "t");
    EXPECT_EQ(map, (std::map<std::string, std::string>{{"a", "1"}, {"c", "5"}}));
    EXPECT_EQ(lua_gettop(w.State()), 0);
    map = w.GetVarMap("t = {'x', 'y'}", "t");
    EXPECT_EQ(map, (std::map<std::string, std::string>{{"1", "x"}, {"2", "y"}}));
    map = w.GetVarMap("t = {[1.5] = 'f', [true] = 'b'}", "t");  // a non-text key reads as ""
    EXPECT_EQ(map, (std::map<std::string, std::string>{{"1.5", "f"}, {"", "b"}}));
    EXPECT_TRUE(w.GetVarMap("t = 'not a table'", "t").empty());
    EXPECT_TRUE(w.GetVarMap("t = {a = 'x'} error('y')", "t").empty());
    EXPECT_TRUE(w.GetVarMap("", "t").empty());
    EXPECT_EQ(lua_gettop(w.State()), 0);
}

TEST(Worker, OtherThreadsAreRefused) {
    CLuaWorker w;
    bool ok = true;
    std::string result = "preset";
    int n = -1;
    std::thread([&] {
        ok = w.ExecScript("function orvexScriptMain() return 1 end", "", result, {});
        n = w.GetVarInt("v = 3", "v");
    }).join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(result, "preset");
    EXPECT_EQ(n, 0);
}

class EngineFiles : public ::testing::Test {
protected:
    TempDir dir;
    std::string Exec(const std::string& path, bool encoded, bool* ok = nullptr,
                     const std::vector<std::string>& args = {}) {
        std::string result = "preset";
        bool r = CLuaEngineInterface::ExecLua(path, "", result, args, encoded);
        if (ok) *ok = r;
        return result;
    }
};

TEST_F(EngineFiles, SameThreadKeepsItsStateOtherThreadsHaveTheirOwn) {
    WriteScript(dir.file("count.lua"),
                "counter = (counter or 0) + 1\nfunction orvexScriptMain() return counter end\n");
    EXPECT_EQ(Exec(dir.file("count.lua"), false), "1");
    EXPECT_EQ(Exec(dir.file("count.lua"), false), "2");
    std::string other;
    std::thread([&] { other = Exec(dir.file("count.lua"), false); }).join();
    EXPECT_EQ(other, "1");
    EXPECT_EQ(Exec(dir.file("count.lua"), false), "3");
}

TEST_F(EngineFiles, MissingUnreadableEmptyAndOversizedScripts) {
    bool ok = true;
    EXPECT_EQ(Exec(dir.file("missing.lua"), false, &ok), "preset");
    EXPECT_FALSE(ok);
    WriteScript(dir.file("empty.lua"), "");
    EXPECT_EQ(Exec(dir.file("empty.lua"), false, &ok), "preset");
    EXPECT_FALSE(ok);
    EXPECT_EQ(Exec(dir.path(), false, &ok), "preset");  // a directory
    EXPECT_FALSE(ok);

    // The limit is on the file's bytes: 5,242,879 are read, 5,242,880 are not.
    const std::string head = "function orvexScriptMain() return 'big' end\n--";
    std::string body = head + std::string(CLuaEngineManager::kMaxScriptBytes - 1 - head.size(), 'x');
    WriteScript(dir.file("below.lua"), body);
    EXPECT_EQ(Exec(dir.file("below.lua"), false, &ok), "big");
    EXPECT_TRUE(ok);
    WriteScript(dir.file("at.lua"), body + "x");
    EXPECT_EQ(Exec(dir.file("at.lua"), false, &ok), "preset");
    EXPECT_FALSE(ok);
    EXPECT_EQ(CLuaEngineInterface::GetVarInt(dir.file("at.lua"), "x", false), 0);
}

TEST_F(EngineFiles, PlainScriptsAreReadEveryTimeEncodedOnesAreCached) {
    CLuaEngineInterface::ClearLuaCache();
    const std::string plain = dir.file("plain.lua"), enc = dir.file("enc.lua");
    WriteScript(plain, "function orvexScriptMain() return 'v1' end");
    WriteScript(enc, "function orvexScriptMain() return 'e1' end", true);
    EXPECT_EQ(Exec(plain, false), "v1");
    EXPECT_EQ(Exec(enc, true), "e1");
    WriteScript(plain, "function orvexScriptMain() return 'v2' end");
    WriteScript(enc, "function orvexScriptMain() return 'e2' end", true);
    EXPECT_EQ(Exec(plain, false), "v2");
    EXPECT_EQ(Exec(enc, true), "e1") << "an encoded script is served from the cache";
    // Once cached, the path is served decoded whatever the flag says.
    EXPECT_EQ(Exec(enc, false), "e1");
    CLuaEngineInterface::ClearLuaCache();
    EXPECT_EQ(Exec(enc, true), "e2");

    // The path is the key byte for byte: another spelling is another entry.
    const std::string other = dir.path() + "//enc.lua";
    WriteScript(enc, "function orvexScriptMain() return 'e3' end", true);
    EXPECT_EQ(Exec(other, true), "e3");
    EXPECT_EQ(Exec(enc, true), "e2");
    EXPECT_EQ(CLuaEngineManager::Instance().CacheSizeForTesting(), 2u);

    // Files that do not decode are not cached and give nothing to run.
    orvextest::WriteFile(dir.file("bad.lua"), "not base64 at all!");
    bool ok = true;
    EXPECT_EQ(Exec(dir.file("bad.lua"), true, &ok), "preset");
    EXPECT_FALSE(ok);
    EXPECT_EQ(CLuaEngineManager::Instance().CacheSizeForTesting(), 2u);
    // Decodable bytes that are not Lua are cached and fail to load.
    orvextest::WriteFile(dir.file("junk.lua"), orvextest::Encode("this is not lua"));
    std::string junkResult;
    EXPECT_FALSE(CLuaEngineInterface::ExecLua(dir.file("junk.lua"), "", junkResult, {}, true));
    EXPECT_NE(junkResult.find("[string \"orvexScriptMain\"]:1:"), std::string::npos) << junkResult;
    EXPECT_EQ(CLuaEngineManager::Instance().CacheSizeForTesting(), 3u);
}

TEST_F(EngineFiles, ThirtyEntriesThenTheCacheStartsOver) {
    CLuaEngineInterface::ClearLuaCache();
    std::vector<std::string> paths;
    for (int i = 0; i < 31; ++i) {
        paths.push_back(dir.file("s" + std::to_string(i) + ".lua"));
        WriteScript(paths.back(), "function orvexScriptMain() return 'old" + std::to_string(i) + "' end", true);
    }
    for (int i = 0; i < 30; ++i) EXPECT_EQ(Exec(paths[i], true), "old" + std::to_string(i));
    EXPECT_EQ(CLuaEngineManager::Instance().CacheSizeForTesting(), 30u);
    // Change the first file: the 31st lookup, even of a cached path, empties
    // the cache first and so reads the file again.
    WriteScript(paths[0], "function orvexScriptMain() return 'new0' end", true);
    EXPECT_EQ(Exec(paths[0], true), "new0");
    EXPECT_EQ(CLuaEngineManager::Instance().CacheSizeForTesting(), 1u);
}

TEST_F(EngineFiles, NamedFunctionsAndReaders) {
    WriteScript(dir.file("f.lua"),
                "limit = 12\nnames = {first = 'a', second = 'b'}\n"
                "function orvexScriptMain() return 'main' end\nfunction Other(x) return 'other ' .. x end\n");
    std::string result;
    EXPECT_TRUE(CLuaEngineInterface::ExecLua(dir.file("f.lua"), "Other", result, {"y"}, false));
    EXPECT_EQ(result, "other y");
    EXPECT_EQ(CLuaEngineInterface::GetVarInt(dir.file("f.lua"), "limit", false), 12);
    EXPECT_EQ(CLuaEngineInterface::GetVarMap(dir.file("f.lua"), "names", false),
              (std::map<std::string, std::string>{{"first", "a"}, {"second", "b"}}));
    WriteScript(dir.file("e.lua"), "limit = 99", true);
    EXPECT_EQ(CLuaEngineInterface::GetVarInt(dir.file("e.lua"), "limit", true), 99);
}

// Arguments go local -> UTF-8; the function's text result and error texts go
// through the same local -> UTF-8 conversion (the caller receives UTF-8);
// GetVarMap keys and values go UTF-8 -> local.
TEST(CodePages, TextsAreConvertedAtTheBoundary) {
    orvextest::CodePageScope latin1("ISO-8859-1");
    CLuaWorker w;
    // The argument reaches the script as UTF-8 (two bytes for e-acute).
    Outcome o = RunOnWorker(w, "function orvexScriptMain(s) return #s .. ':' .. s:byte(4) .. ',' .. s:byte(5) end",
                            "", {"caf\xe9"});
    EXPECT_EQ(o.result, "5:195,169");
    // The result bytes are taken as local text and handed over in UTF-8.
    o = RunOnWorker(w, "function orvexScriptMain() return 'caf\\233' end");
    EXPECT_EQ(o.result, "caf\xc3\xa9");
    // Error texts too.
    o = RunOnWorker(w, "function orvexScriptMain() error('\\233', 0) end");
    EXPECT_EQ(o.result, "\xc3\xa9");
    o = RunOnWorker(w, "x = '\\233' .. nil");
    EXPECT_FALSE(o.ok);
    EXPECT_NE(o.result.find("[string \"orvexScriptMain\"]:1:"), std::string::npos);
    // Map keys and values become local; keys that become equal keep one
    // value; characters Latin-1 lacks become '?'.
    auto map = w.GetVarMap("t = {['\\195\\169'] = 'caf\\195\\169'}", "t");
    EXPECT_EQ(map, (std::map<std::string, std::string>{{"\xe9", "caf\xe9"}}));
    map = w.GetVarMap("t = {['\\228\\184\\173'] = 'x', ['\\229\\155\\189'] = 'y'}", "t");
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map.begin()->first, "?");
    EXPECT_TRUE(map.begin()->second == "x" || map.begin()->second == "y");
}

TEST(CodePages, GbkArguments) {
    orvextest::CodePageScope gbk("GBK");
    CLuaWorker w;
    // U+4E2D: two GBK bytes arrive as three UTF-8 bytes.
    Outcome o = RunOnWorker(w, "function orvexScriptMain(s) return (s == '\\228\\184\\173') and 'same' or #s end",
                            "", {"\xd6\xd0"});
    EXPECT_EQ(o.result, "same");
    // A byte that is not GBK becomes '?' on its way in.
    o = RunOnWorker(w, "function orvexScriptMain(s) return s end", "", {"a\xff" "b"});
    EXPECT_EQ(o.result, "a?b");
    auto map = w.GetVarMap("t = {k = '\\228\\184\\173'}", "t");
    EXPECT_EQ(map.at("k"), "\xd6\xd0");
}

}  // namespace

// Every script function: the input is a sequence of calls, each naming one
// function of the fifteen orvex tables and its arguments (nil, booleans,
// integers, NaN, infinities, huge and negative numbers, strings of input
// bytes, empty strings, names of scratch files, long strings, tables,
// nested and self-referencing tables, functions, coroutines, userdata,
// earlier results), run in the calling thread's engine Lua state, some of
// them inside a coroutine. Every call must return or raise a Lua error
// whose message is one the functions document, and the state must stay
// usable.
//
// Nothing may touch the machine: the state's current directory is a
// scratch directory, and calls_prelude.lua replaces every function that
// changes the system by a wrapper that calls it only with a harmless
// target (see there).
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FuzzSupport.h"
#include "LuaEngineManager.h"
#include "LuaWorker.h"
#include "OrvexHost.h"
#include "pyn/ZipUtil.h"

extern char** environ;

using orvexfuzz::Fail;

namespace {

const int kMaxCalls = 16;
const int kMaxArgs = 6;
const int kResultSlots = 8;
const size_t kLongString = 70000;
// ORVEX_FUZZ_SLOW_MS=N: report every call that takes N ms or more.
const long g_slowMs = getenv("ORVEX_FUZZ_SLOW_MS") ? std::atol(getenv("ORVEX_FUZZ_SLOW_MS")) : 0;
// ORVEX_FUZZ_TRACE=1: print every call and what it gave.
const bool g_trace = getenv("ORVEX_FUZZ_TRACE") != nullptr;

// ---- the fuzzer's own child: the only process the kill functions name ----

std::string g_child;      // the child program, by a link of a name of this process's own
std::string g_childName;  // that name, as process listings give it
pid_t g_sleeper = -1;

pid_t SpawnSleeper() {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd < 3; ++fd) posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
    const char* argv[] = {g_child.c_str(), "sleep", "600", nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, g_child.c_str(), &actions, nullptr, const_cast<char* const*>(argv), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (pid < 0) Fail("cannot start the child program %s", g_child.c_str());
    return pid;
}

// The sleeping child's id; a new child when the last one has gone.
int ChildPid(lua_State* L) {
    if (g_sleeper > 0) {
        int status = 0;
        pid_t r = waitpid(g_sleeper, &status, WNOHANG);
        if (r == g_sleeper || (r < 0 && errno == ECHILD)) g_sleeper = -1;
    }
    if (g_sleeper <= 0) g_sleeper = SpawnSleeper();
    lua_pushnumber(L, g_sleeper);
    return 1;
}

void StopSleeper() {
    if (g_sleeper > 0) {
        kill(g_sleeper, SIGKILL);
        waitpid(g_sleeper, nullptr, 0);
        g_sleeper = -1;
    }
}

// ---- a loopback HTTP server: a few canned answers, never a long wait ----

void SendAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// Reads the request's head and body; false for anything that is no plain
// HTTP request (a TLS handshake, say) or that stalls.
bool ReadRequest(int fd, std::string& request) {
    char buf[4096];
    size_t body = std::string::npos, need = 0;
    while (request.size() < (1 << 20)) {
        if (body != std::string::npos && request.size() >= body + need) return true;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) return body != std::string::npos;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return body != std::string::npos;
        if (request.empty() && buf[0] == '\x16') return false;
        request.append(buf, static_cast<size_t>(n));
        if (body == std::string::npos) {
            size_t end = request.find("\r\n\r\n");
            if (end == std::string::npos) continue;
            body = end + 4;
            const std::string head = request.substr(0, end);
            size_t length = head.find("Content-Length: ");
            if (length != std::string::npos) need = std::strtoul(head.c_str() + length + 16, nullptr, 10);
            if (head.find("Expect: 100-continue") != std::string::npos) SendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n");
        }
    }
    return true;
}

void Answer(int fd, int port, const std::string& request) {
    // The answer follows the request line's length.
    size_t line = request.find("\r\n");
    std::string answer;
    switch ((line == std::string::npos ? 0 : line) % 6) {
    case 0: answer = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"; break;
    case 1: answer = "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found"; break;
    case 2: answer = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"; break;
    case 3:
        answer = "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:" + std::to_string(port) +
                 "/again\r\nContent-Length: 0\r\n\r\n";
        break;
    case 4:
        answer = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\na";
        answer += '\0';
        answer += "b\r\n0\r\n\r\n";
        break;
    default: return;  // closes without an answer
    }
    SendAll(fd, answer);
}

int StartHttpServer() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        Fail("cannot start the loopback HTTP server");
    const int port = ntohs(addr.sin_port);
    std::thread([fd, port] {
        for (;;) {
            int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            std::string request;
            if (ReadRequest(c, request)) Answer(c, port, request);
            close(c);
        }
    }).detach();
    return port;
}

// ---- confining paths to the scratch directory ----

// confine(value [, strict]): a string path made relative to the current
// directory (the scratch directory), ".." components made "dd"; with
// `strict` numbers too. Other values unchanged.
int Confine(lua_State* L) {
    const bool strict = lua_toboolean(L, 2) != 0;
    if (lua_type(L, 1) != LUA_TSTRING && !(strict && lua_type(L, 1) == LUA_TNUMBER)) {
        lua_settop(L, 1);
        return 1;
    }
    size_t len = 0;
    const char* s = lua_tolstring(L, 1, &len);
    if (len == 0) {
        lua_pushliteral(L, "");
        return 1;
    }
    std::string out = ".";
    std::string part;
    for (size_t i = 0; i <= len; ++i) {
        if (i == len || s[i] == '/') {
            if (part == "..") part = "dd";
            if (!part.empty() && part != ".") out += "/" + part;
            part.clear();
        } else {
            part += s[i];
        }
    }
    if (out == ".") out = "./.";
    lua_pushlstring(L, out.data(), out.size());
    return 1;
}

// ---- the state and the function list ----

struct Fuzzer {
    lua_State* L = nullptr;
    std::shared_ptr<orvex::CLuaWorker> worker;
    std::string root, scratch;
    std::string home;  // the directory the fuzzer was started in
    std::vector<int> functions;  // registry references, in name order
    std::vector<std::string> names;
    int bufferSize = LUA_NOREF;  // the real GetBufferSize, for the health check
    int budget = LUA_NOREF;      // the prelude's per-sequence budget table
    int results = LUA_NOREF;     // earlier results
    int luaFunction = LUA_NOREF;
    std::string zip, ini, json, gzip;
};

std::string EncodedFile(const std::string& path, const std::string& source) {
    orvexfuzz::WriteFile(path, orvex::CLuaEngineManager::EncodeScriptText(source));
    return path;
}

void Populate(const Fuzzer& f) {
    orvexfuzz::EmptyDir(f.scratch);
    if (chdir(f.scratch.c_str()) != 0) Fail("cannot enter %s", f.scratch.c_str());
    orvexfuzz::WriteFile("x", "some text\n");
    orvexfuzz::EmptyDir("d");
    orvexfuzz::WriteFile("d/y", "inner");
    orvexfuzz::WriteFile("a.zip", f.zip);
    orvexfuzz::WriteFile("f.ini", f.ini);
    orvexfuzz::WriteFile("j.json", f.json);
    orvexfuzz::WriteFile("g.gz", f.gzip);
}

Fuzzer& TheFuzzer() {
    static Fuzzer f = [] {
        Fuzzer f;
        orvexfuzz::Setup();
        // The calls run in the scratch directory; libFuzzer's own relative
        // paths (corpus, artifacts) between them in this one.
        char* cwd = getcwd(nullptr, 0);
        if (!cwd) Fail("no current directory");
        f.home = cwd;
        free(cwd);
        f.root = orvexfuzz::ScratchRoot("calls");
        f.scratch = f.root + "/s";
        const std::string app = f.root + "/app";
        orvexfuzz::EmptyDir(app + "/luascript/sub");
        EncodedFile(app + "/luascript/m.lua", "return 1");
        EncodedFile(app + "/luascript/sub/n.lua", "fuzzModule = (fuzzModule or 0) + 1 return 'n', fuzzModule");
        EncodedFile(app + "/luascript/e.lua", "error('module error')");
        orvexfuzz::WriteFile(app + "/luascript/plain.lua", "return 2");
        orvexSetApplicationDir(app.c_str());
        const std::string threadScript =
            EncodedFile(f.root + "/thread.lua", "function orvexScriptMain(...) return select('#', ...) end");

        orvexfuzz::EmptyDir(f.root + "/bin");
        g_childName = "ofz" + std::to_string(getpid());
        g_child = f.root + "/bin/" + g_childName;
        if (symlink(ORVEX_FUZZ_CHILD, g_child.c_str()) != 0) Fail("cannot link the child program");
        std::atexit(&StopSleeper);
        const int port = StartHttpServer();

        // Fixtures the sequences find in the scratch directory.
        orvexfuzz::EmptyDir(f.root + "/fix/sub");
        orvexfuzz::WriteFile(f.root + "/fix/sub/z", "zipped");
        if (!pyn::CZipUtil::DirzipFile(f.root + "/fix", f.root + "/fix.zip") ||
            !orvexfuzz::ReadFile(f.root + "/fix.zip", f.zip))
            Fail("cannot make the fixture archive");
        f.ini = "top = 1\r\n[a]\r\nb = c\r\n";
        f.json = "{\"a\":[1,{\"b\":\"c\"}],\"d\":\"[1]\"}";
        f.gzip = pyn::CZipUtil::Compress("compressed text");
        Populate(f);

        // The calling thread's engine worker and its state.
        f.worker = orvex::CLuaEngineManager::Instance().GetThreadWorker();
        f.L = f.worker->State();
        if (!f.L) Fail("no engine state");
        lua_State* L = f.L;
        lua_settop(L, 0);
        lua_getglobal(L, "orvexUtil");
        lua_getfield(L, -1, "GetBufferSize");
        f.bufferSize = luaL_ref(L, LUA_REGISTRYINDEX);
        lua_pop(L, 1);

        if (luaL_loadfile(L, ORVEX_FUZZ_PRELUDE) != 0) Fail("prelude: %s", lua_tostring(L, -1));
        lua_createtable(L, 0, 8);
        lua_pushcfunction(L, &Confine);
        lua_setfield(L, -2, "confine");
        lua_pushcfunction(L, &ChildPid);
        lua_setfield(L, -2, "childPid");
        lua_pushstring(L, g_child.c_str());
        lua_setfield(L, -2, "child");
        lua_pushstring(L, g_childName.c_str());
        lua_setfield(L, -2, "childName");
        lua_pushinteger(L, port);
        lua_setfield(L, -2, "port");
        lua_pushstring(L, threadScript.c_str());
        lua_setfield(L, -2, "threadScript");
        lua_createtable(L, 0, 1);
        lua_pushvalue(L, -1);
        f.budget = luaL_ref(L, LUA_REGISTRYINDEX);
        lua_setfield(L, -2, "budget");
        if (lua_pcall(L, 1, 0, 0) != 0) Fail("prelude: %s", lua_tostring(L, -1));

        // Every function of every orvex table, in name order.
        if (luaL_dostring(L, R"(
            local list = {}
            for lib, t in pairs(_G) do
              if type(t) == "table" and lib:match("^orvex") then
                for name, fn in pairs(t) do
                  if type(fn) == "function" then list[#list + 1] = lib .. "." .. name end
                end
              end
            end
            table.sort(list)
            return list)") != 0)
            Fail("listing: %s", lua_tostring(L, -1));
        const int count = static_cast<int>(lua_objlen(L, -1));
        for (int i = 1; i <= count; ++i) {
            lua_rawgeti(L, -1, i);
            std::string full = lua_tostring(L, -1);
            lua_pop(L, 1);
            f.names.push_back(full);
            size_t dot = full.find('.');
            lua_getglobal(L, full.substr(0, dot).c_str());
            lua_getfield(L, -1, full.substr(dot + 1).c_str());
            f.functions.push_back(luaL_ref(L, LUA_REGISTRYINDEX));
            lua_pop(L, 1);
        }
        lua_settop(L, 0);
        if (f.functions.size() < 93) Fail("only %zu script functions", f.functions.size());

        lua_createtable(L, kResultSlots, 0);
        f.results = luaL_ref(L, LUA_REGISTRYINDEX);
        luaL_loadstring(L, "return 1");
        f.luaFunction = luaL_ref(L, LUA_REGISTRYINDEX);
        return f;
    }();
    return f;
}

// ---- argument values ----

int CFunction(lua_State*) { return 0; }

void PushValue(Fuzzer& f, FuzzedDataProvider& in, int depth);

void PushTable(Fuzzer& f, FuzzedDataProvider& in, int depth, bool list) {
    const int n = in.ConsumeIntegralInRange(0, 4);
    lua_createtable(f.L, 0, 0);
    for (int i = 1; i <= n; ++i) {
        if (list) {
            lua_pushinteger(f.L, i);
        } else {
            std::string key = in.ConsumeRandomLengthString(12);
            if (key.empty()) lua_pushnumber(f.L, in.ConsumeIntegral<int8_t>());
            else lua_pushlstring(f.L, key.data(), key.size());
        }
        PushValue(f, in, depth + 1);
        lua_rawset(f.L, -3);
    }
}

void PushValue(Fuzzer& f, FuzzedDataProvider& in, int depth) {
    lua_State* L = f.L;
    static const char* const kNames[] = {
        "x", "d", "d/y", "a.zip", "f.ini", "j.json", "g.gz", "db", "new", "new/deep/er", ".", "..", "/",
        "../x", "/etc/passwd", "d/../x", "x\0y", "~", "m", "sub/n", "e", "plain", "../s", "out.zip", "lib.so"};
    static const double kSpecial[] = {
        NAN, INFINITY, -INFINITY, 2147483648.0, -2147483649.0, 4294967296.0, 9007199254740993.0, -9007199254740992.0,
        1e308, -1e308, -0.0, 12.7, 2.5, 0.5, -1, 65536, 1e-300, std::numeric_limits<double>::denorm_min()};
    const int kind = depth > 3 ? in.ConsumeIntegralInRange(0, 9) : in.ConsumeIntegralInRange(0, 21);
    switch (kind) {
    case 0: lua_pushnil(L); break;
    case 1: lua_pushboolean(L, 1); break;
    case 2: lua_pushboolean(L, 0); break;
    case 3: lua_pushnumber(L, in.ConsumeIntegral<int8_t>()); break;
    case 4: lua_pushnumber(L, in.ConsumeIntegral<int32_t>()); break;
    case 5: lua_pushnumber(L, kSpecial[in.ConsumeIntegralInRange<size_t>(0, std::size(kSpecial) - 1)]); break;
    case 6: {
        std::string s = in.ConsumeRandomLengthString(96);
        lua_pushlstring(L, s.data(), s.size());
        break;
    }
    case 7: lua_pushliteral(L, ""); break;
    case 8: {
        size_t i = in.ConsumeIntegralInRange<size_t>(0, std::size(kNames) - 1);
        lua_pushlstring(L, kNames[i], i == 16 ? 3 : std::strlen(kNames[i]));
        break;
    }
    case 9: {
        static const char* const kNumeric[] = {"10", "-5", "1e3", " 12 ", "0x10", "2147483648", "-0", "nan", "1e400"};
        lua_pushstring(L, kNumeric[in.ConsumeIntegralInRange<size_t>(0, std::size(kNumeric) - 1)]);
        break;
    }
    case 10: {
        std::string seed = in.ConsumeRandomLengthString(8);
        if (seed.empty()) seed = "a";
        std::string s;
        while (s.size() < kLongString) s += seed;
        lua_pushlstring(L, s.data(), s.size());
        break;
    }
    case 11: lua_createtable(L, 0, 0); break;
    case 12: PushTable(f, in, depth, true); break;
    case 13: PushTable(f, in, depth, false); break;
    case 14: {
        const int levels = in.ConsumeIntegralInRange(1, 300);
        lua_createtable(L, 1, 0);
        lua_pushvalue(L, -1);
        for (int i = 0; i < levels; ++i) {
            lua_createtable(L, 1, 0);
            lua_pushvalue(L, -1);
            lua_rawseti(L, -3, 1);
            lua_remove(L, -2);
        }
        lua_pop(L, 1);
        break;
    }
    case 15:
        lua_createtable(L, 1, 1);
        lua_pushvalue(L, -1);
        lua_rawseti(L, -2, 1);
        lua_pushvalue(L, -1);
        lua_setfield(L, -2, "self");
        break;
    case 16: lua_rawgeti(L, LUA_REGISTRYINDEX, f.luaFunction); break;
    case 17: lua_pushcfunction(L, &CFunction); break;
    case 18: {
        lua_State* co = lua_newthread(L);
        lua_rawgeti(L, LUA_REGISTRYINDEX, f.luaFunction);
        lua_xmove(L, co, 1);
        break;
    }
    case 19: lua_newuserdata(L, 8); break;
    case 20: lua_pushlightuserdata(L, &f); break;
    default:
        lua_rawgeti(L, LUA_REGISTRYINDEX, f.results);
        lua_rawgeti(L, -1, in.ConsumeIntegralInRange(1, kResultSlots));
        lua_remove(L, -2);
        break;
    }
}

// The errors script functions raise (the wrappers add none).
bool KnownError(const std::string& message) {
    for (const char* known : {"argv error", "aesEncrypt error.", "aesDecrypt error.", "getLogBuffer error"})
        if (orvexfuzz::EndsWith(message, known)) return true;
    return false;
}

void CheckOutcome(Fuzzer& f, lua_State* on, int status, size_t index, int slot) {
    if (status == 0 || status == LUA_YIELD) {
        const int result = lua_gettop(on);
        if (result > 0) {
            lua_rawgeti(f.L, LUA_REGISTRYINDEX, f.results);
            lua_pushvalue(on, result);
            if (on != f.L) lua_xmove(on, f.L, 1);
            lua_rawseti(f.L, -2, slot);
            lua_pop(f.L, 1);
        }
        return;
    }
    if (lua_type(on, -1) != LUA_TSTRING || !KnownError(orvexfuzz::ErrorText(on)))
        Fail("%s raised %s", f.names[index].c_str(), orvexfuzz::ErrorText(on).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fuzzer& f = TheFuzzer();
    lua_State* L = f.L;
    FuzzedDataProvider in(data, size);
    Populate(f);
    lua_settop(L, 0);
    lua_rawgeti(L, LUA_REGISTRYINDEX, f.budget);
    lua_getfield(L, -1, "reset");
    if (lua_pcall(L, 0, 0, 0) != 0) Fail("budget: %s", lua_tostring(L, -1));
    lua_settop(L, 0);

    for (int call = 0; call < kMaxCalls && in.remaining_bytes() > 0; ++call) {
        const size_t index = in.ConsumeIntegralInRange<size_t>(0, f.functions.size() - 1);
        const uint8_t shape = in.ConsumeIntegral<uint8_t>();
        const int nargs = shape % (kMaxArgs + 1);
        const bool inCoroutine = (shape & 0xc0) == 0xc0;
        lua_State* on = L;
        if (inCoroutine) on = lua_newthread(L);  // stays at index 1 of L
        lua_rawgeti(on, LUA_REGISTRYINDEX, f.functions[index]);
        for (int i = 0; i < nargs; ++i) {
            PushValue(f, in, 0);
            if (on != L) lua_xmove(L, on, 1);
        }
        const auto started = std::chrono::steady_clock::now();
        const int status = inCoroutine ? lua_resume(on, nargs) : lua_pcall(L, nargs, 1, 0);
        if (g_slowMs > 0) {
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
            if (ms.count() >= g_slowMs) std::fprintf(stderr, "slow call: %s %d ms\n", f.names[index].c_str(), int(ms.count()));
        }
        if (g_trace)
            std::fprintf(stderr, "call %s with %d arguments%s: %s %s\n", f.names[index].c_str(), nargs,
                         inCoroutine ? " in a coroutine" : "", status == 0 || status == LUA_YIELD ? "gave" : "raised",
                         lua_gettop(on) > 0 ? luaL_typename(on, -1) : "nothing");
        CheckOutcome(f, on, status, index, call % kResultSlots + 1);
        lua_settop(L, 0);
    }

    // The state still works.
    lua_rawgeti(L, LUA_REGISTRYINDEX, f.bufferSize);
    lua_pushliteral(L, "ab");
    if (lua_pcall(L, 1, 1, 0) != 0 || lua_tonumber(L, -1) != 2) Fail("the state no longer works");
    lua_settop(L, 0);
    lua_gc(L, LUA_GCSTEP, 128);
    if (chdir(f.home.c_str()) != 0) Fail("cannot return to %s", f.home.c_str());
    return 0;
}

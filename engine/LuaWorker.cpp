#include "LuaWorker.h"

#include "CheckedStringFunctions.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include <cstring>

#include "ChunkCache.h"
#include "LuaEngineInterface.h"
#include "RunControl.h"
#include "ScriptBinding.h"
#include "TextChunks.h"
#include "pyn/LogMessage.h"
#include "pyn/StringUtil.h"
#include "pyn/ThreadUtil.h"

namespace orvex {
namespace {

const char kDefaultFunction[] = "orvexScriptMain";
const char kIsFunctionFail[] = "isfunction fail";
const char kTooManyArguments[] = "too many arguments";
const char* const kOutOfMemory = kNotEnoughMemory;

// Thrown by the panic handler: Lua raised an error outside every protected
// call (only lack of memory can do that in the worker's own API calls).
struct LuaPanic {};

int ThrowOnPanic(lua_State*) { throw LuaPanic{}; }

// Text of the error value on top of the stack, converted for the caller.
// Lua errors normally carry a string; any other value is described instead.
std::string ErrorText(lua_State* L) {
    size_t len = 0;
    const char* s = lua_tolstring(L, -1, &len);
    if (s) return pyn::CStringUtil::s2s_utf8(s, len);
    return std::string("(error object is a ") + luaL_typename(L, -1) + " value)";
}

// The globals table may carry metamethods of the script's (a "strict
// globals" __index that raises, say), and a full collection runs the
// script's __gc finalizers: both run script code that may raise, so the
// worker does them in protected mode, never in an unprotected API call
// (which would end in the panic handler).
int GetGlobalOf(lua_State* L) {
    lua_gettable(L, LUA_GLOBALSINDEX);
    return 1;
}

int CollectAll(lua_State* L) {
    lua_gc(L, LUA_GCCOLLECT, 0);
    return 0;
}

// Registry key of CollectAll's function, made once per state so that the
// collection after every call allocates nothing.
const char kCollectAllKey = 0;

void RegisterCollectAll(lua_State* L) {
    lua_pushlightuserdata(L, const_cast<char*>(&kCollectAllKey));
    lua_pushcfunction(L, &CollectAll);
    lua_rawset(L, LUA_REGISTRYINDEX);
}

// A full collection; an error of a finalizer is dropped.
void CollectProtected(lua_State* L) {
    lua_pushlightuserdata(L, const_cast<char*>(&kCollectAllKey));
    lua_rawget(L, LUA_REGISTRYINDEX);
    if (lua_pcall(L, 0, 0, 0) != 0) lua_pop(L, 1);
}

// debug.sethook, except while a run's time or memory limit applies: a hook
// of the script's would take the place of the checks that end the run.
int GuardedSetHook(lua_State* L) {
    if (CRunControl::LimitsApply()) return luaL_error(L, "debug.sethook is not available under a run limit");
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_insert(L, 1);
    lua_call(L, lua_gettop(L) - 1, LUA_MULTRET);
    return lua_gettop(L);
}

void GuardSetHook(lua_State* L) {
    lua_getglobal(L, "debug");
    if (lua_istable(L, -1)) {
        lua_getfield(L, -1, "sethook");
        lua_pushcclosure(L, &GuardedSetHook, 1);
        lua_setfield(L, -2, "sethook");
    }
    lua_pop(L, 1);
}

// Pushes the global `name`; false, with the error value pushed instead,
// when a metamethod raised an error.
bool PushGlobal(lua_State* L, const std::string& name) {
    // Without a metatable on the globals table the lookup runs no script code.
    if (!lua_getmetatable(L, LUA_GLOBALSINDEX)) {
        lua_getfield(L, LUA_GLOBALSINDEX, name.c_str());
        return true;
    }
    lua_pop(L, 1);
    lua_pushcfunction(L, &GetGlobalOf);
    lua_pushstring(L, name.c_str());
    return lua_pcall(L, 1, 1, 0) == 0;
}

}  // namespace

namespace {

void LogStartFailure() { pyn::CLogMessage::GetInstance()->WriteLogMessage("StartLuaWork Fail", pyn::PynLogInfo); }

}  // namespace

CLuaWorker::CLuaWorker() {
    if (!StartLuaWork()) LogStartFailure();
}

CLuaWorker::~CLuaWorker() { CloseState(); }

void CLuaWorker::CloseState() {
    m_closed = true;
    if (!m_state) return;
    lua_State* L = m_state;
    m_state = nullptr;
    lua_close(L);
    m_chunks.Clear(nullptr);
}

bool CLuaWorker::StartLuaWork() {
    if (m_ownerThread == 0) m_ownerThread = pyn::CThreadUtil::GetCurrentThreadId();
    if (m_state) return true;
    lua_State* L = lua_newstate(&CLuaStateAllocator::Allocate, &m_allocator);
    if (!L) return false;
    // Opening the libraries can only fail for lack of memory; do it protected
    // so such a failure closes the state instead of escaping.
    auto open = [](lua_State* S) -> int {
        auto* chunks = static_cast<CChunkCache*>(lua_touserdata(S, 1));
        luaL_openlibs(S);
        UseCheckedStringFunctions(S);
        luaopen_LuaEngine(S);
        RegisterCollectAll(S);
        GuardSetHook(S);
        CChunkCache::Attach(S, chunks);
        RefuseBinaryChunks(S);
        return 0;
    };
    m_chunks.Clear(nullptr);  // of a state that is gone
    if (lua_cpcall(L, open, &m_chunks) != 0) {
        lua_close(L);
        return false;
    }
    lua_atpanic(L, &ThrowOnPanic);
    m_state = L;
    return true;
}

void CLuaWorker::RecoverFromPanic() {
    // The state met an error outside every protected call: it cannot be
    // trusted any more. Close it (freeing what the scripts held) and give the
    // thread a fresh one.
    lua_close(m_state);
    m_state = nullptr;
    m_chunks.Clear(nullptr);
    if (!StartLuaWork()) LogStartFailure();  // the next call tries again
}

bool CLuaWorker::EnsureState() {
    if (m_state) return true;
    if (m_closed) return false;
    if (StartLuaWork()) return true;
    LogStartFailure();
    return false;
}

bool CLuaWorker::IsOwnerThread() const { return pyn::CThreadUtil::GetCurrentThreadId() == m_ownerThread; }

template <typename Result, typename Body>
Result CLuaWorker::AsRun(Body body, Result onPanic, bool (*failed)(const Result&)) {
    const auto start = std::chrono::steady_clock::now();
    Result result = onPanic;
    // A state lost earlier is made again before the run, so that the run
    // is bounded in it.
    if (IsOwnerThread()) EnsureState();
    try {
        CRunControl::Run run(m_state, m_allocator);
        result = body();
    } catch (const LuaPanic&) {
        RecoverFromPanic();
        result = onPanic;
    }
    const char* ended = CRunControl::Verdict();
    AfterRun();
    m_stats.Record(failed(result) || ended, ended, std::chrono::steady_clock::now() - start);
    return result;
}

bool CLuaWorker::ExecScript(const std::string& source, const std::string& functionName, std::string& result,
                            const std::vector<std::string>& args) {
    bool panicked = true;
    bool ok = AsRun<bool>(
        [&] {
            bool outcome = ExecScriptImpl(source, functionName, result, args);
            panicked = false;
            return outcome;
        },
        false, [](const bool& outcome) { return !outcome; });
    if (panicked) result = kOutOfMemory;
    return ok;
}

bool CLuaWorker::CallScriptFunction(const std::string& functionName, std::string& result,
                                    const std::vector<std::string>& args) {
    bool panicked = true;
    bool ok = AsRun<bool>(
        [&] {
            bool outcome = CallScriptFunctionImpl(functionName, result, args);
            panicked = false;
            return outcome;
        },
        false, [](const bool& outcome) { return !outcome; });
    if (panicked) result = kOutOfMemory;
    return ok;
}

int CLuaWorker::GetVarInt(const std::string& source, const std::string& varName) {
    return AsRun<int>([&] { return GetVarIntImpl(source, varName); }, 0, [](const int&) { return false; });
}

std::map<std::string, std::string> CLuaWorker::GetVarMap(const std::string& source, const std::string& varName) {
    using Map = std::map<std::string, std::string>;
    return AsRun<Map>([&] { return GetVarMapImpl(source, varName); }, Map(), [](const Map&) { return false; });
}

void CLuaWorker::AfterRun() {
    if (!m_state || !m_allocator.LimitHit()) return;
    m_allocator.ClearLimitHit();
    // The run went over the state's memory limit: what it left behind may
    // keep the state there. Collect; a state still close to its limit is
    // replaced, as after a panic, so that the next call can run.
    CollectProtected(m_state);
    lua_settop(m_state, 0);
    const size_t limit = m_allocator.Limit();
    if (limit != 0 && m_allocator.BytesInUse() > limit / 4 * 3) {
        m_allocator.SetRunLimit(0);
        RecoverFromPanic();
    }
}

void CLuaWorker::Stats::Record(bool failedRun, const char* ended, std::chrono::nanoseconds took) {
    auto bump = [](std::atomic<uint64_t>& counter, uint64_t by) {
        counter.store(counter.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
    };
    bump(runs, 1);
    if (failedRun) bump(failed, 1);
    if (ended == kTimeLimitExceeded)
        bump(timeouts, 1);
    else if (ended == kNotEnoughMemory)
        bump(outOfMemory, 1);
    else if (ended)
        bump(stops, 1);
    bump(runNanos, static_cast<uint64_t>(took.count() > 0 ? took.count() : 0));
}

bool CLuaWorker::ExecScriptImpl(const std::string& source, const std::string& functionName, std::string& result,
                                const std::vector<std::string>& args) {
    const std::string& name = functionName.empty() ? std::string(kDefaultFunction) : functionName;
    if (!IsOwnerThread() || source.empty() || !EnsureState()) return false;
    lua_State* L = m_state;
    if (m_chunks.Load(L, source.data(), source.size(), name.c_str()) != 0) {
        result = ErrorText(L);
        lua_settop(L, 0);
        return false;
    }
    if (lua_pcall(L, 0, 0, 0) != 0) {
        const char* ended = CRunControl::Verdict();
        result = ended ? std::string(ended) : ErrorText(L);
        lua_settop(L, 0);
        return false;
    }
    return CallScriptFunctionImpl(name, result, args);
}

bool CLuaWorker::CallScriptFunctionImpl(const std::string& functionName, std::string& result,
                                        const std::vector<std::string>& args) {
    if (!EnsureState()) return false;
    lua_State* L = m_state;
    // A lookup that raised (a strict-globals script asked for a function it
    // lacks) is a missing function like any other.
    if (!PushGlobal(L, functionName) || lua_type(L, -1) != LUA_TFUNCTION) {
        result = kIsFunctionFail;
        lua_settop(L, 0);
        return false;
    }
    if (args.size() >= static_cast<size_t>(LUAI_MAXCSTACK) ||
        !lua_checkstack(L, static_cast<int>(args.size()) + 1)) {
        result = kTooManyArguments;
        lua_settop(L, 0);
        return false;
    }
    for (const std::string& arg : args) {
        if (arg.empty()) {
            lua_pushlstring(L, "", 0);
        } else {
            std::string utf8 = pyn::CStringUtil::s2s_utf8(arg);
            lua_pushlstring(L, utf8.data(), utf8.size());
        }
    }
    if (lua_pcall(L, static_cast<int>(args.size()), 1, 0) != 0) {
        // An error of the function is its result (true); an interrupted run
        // did not complete, whatever the script caught on the way.
        const char* ended = CRunControl::Verdict();
        result = ended ? std::string(ended) : ErrorText(L);
        lua_settop(L, 0);
        return ended == nullptr;
    }
    // The function returned, but what it returned may be a caught end of
    // the run (`return pcall(...)`).
    if (const char* ended = CRunControl::Verdict()) {
        result = ended;
        lua_settop(L, 0);
        return false;
    }
    // The function's value stays below; an error of a finalizer does not
    // change the outcome of a function that has returned.
    CollectProtected(L);
    bool outcome = true;
    if (lua_isstring(L, -1)) {
        size_t len = 0;
        const char* s = lua_tolstring(L, -1, &len);
        result = pyn::CStringUtil::s2s_utf8(s, len);
    } else if (lua_type(L, -1) == LUA_TBOOLEAN) {
        outcome = lua_toboolean(L, -1) != 0;
    }
    lua_settop(L, 0);
    return outcome;
}

bool CLuaWorker::LoadAndRunForRead(const std::string& source) {
    lua_State* L = m_state;
    // As luaL_loadstring: the text up to its first zero byte, which is also
    // the chunk's name.
    const char* text = source.c_str();
    if (m_chunks.Load(L, text, std::strlen(text), text) != 0 || lua_pcall(L, 0, LUA_MULTRET, 0) != 0) {
        lua_settop(L, 0);
        return false;
    }
    return true;
}

int CLuaWorker::GetVarIntImpl(const std::string& source, const std::string& varName) {
    if (source.empty() || !IsOwnerThread() || !EnsureState()) return 0;
    if (!LoadAndRunForRead(source)) return 0;
    lua_State* L = m_state;
    // The chunk's return values stay below; make room for the lookup.
    if (!lua_checkstack(L, 2)) {
        lua_settop(L, 0);
        return 0;
    }
    int value = PushGlobal(L, varName) && lua_isnumber(L, -1) ? LuaNumberToInt(lua_tonumber(L, -1)) : 0;
    lua_settop(L, 0);
    return value;
}

std::map<std::string, std::string> CLuaWorker::GetVarMapImpl(const std::string& source,
                                                             const std::string& varName) {
    std::map<std::string, std::string> values;
    if (source.empty() || !IsOwnerThread() || !EnsureState()) return values;
    if (!LoadAndRunForRead(source)) return values;
    lua_State* L = m_state;
    if (!lua_checkstack(L, 4)) {
        lua_settop(L, 0);
        return values;
    }
    if (PushGlobal(L, varName) && lua_type(L, -1) == LUA_TTABLE) {
        const int table = lua_gettop(L);
        lua_pushnil(L);
        while (lua_next(L, table) != 0) {
            lua_pushvalue(L, -2);  // read the key from a copy: lua_next needs it intact
            std::string key = GetStringArg(L, -1);
            lua_pop(L, 1);
            std::string value = GetStringArg(L, -1);
            if (!value.empty()) values.emplace(std::move(key), std::move(value));
            lua_pop(L, 1);
        }
    }
    lua_settop(L, 0);
    return values;
}

bool CLuaWorker::RunModuleSource(const std::string& source) {
    return m_state && RunModuleSource(m_state, source);
}

bool CLuaWorker::RunModuleSource(lua_State* L, const std::string& source) {
    if (source.empty()) return false;
    const int base = lua_gettop(L);
    // A worker's state keeps module chunks too; a host's own state has no
    // cache.
    CChunkCache* chunks = CChunkCache::Of(L);
    const int loaded = chunks ? chunks->Load(L, source.data(), source.size(), "")
                              : LoadText(L, source.data(), source.size(), "");
    if (loaded != 0 || lua_pcall(L, 0, LUA_MULTRET, 0) != 0) {
        lua_settop(L, base);
        return false;
    }
    return true;
}

}  // namespace orvex

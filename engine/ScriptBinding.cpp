#include "ScriptBinding.h"

#include "EngineLifetime.h"
#include "RunControl.h"

#include <atomic>
#include <climits>
#include <cmath>
#include <exception>
#include <new>

namespace orvex {

const char kArgvError[] = "argv error";
const char kAesEncryptError[] = "aesEncrypt error.";
const char kAesDecryptError[] = "aesDecrypt error.";
const char kGetLogBufferError[] = "getLogBuffer error";

namespace {
const char kOutOfMemory[] = "not enough memory";
const char kInternalError[] = "internal error";
const char kEngineClosed[] = "engine closed";

std::atomic<ScriptBodyObserver> g_bodyObserver{nullptr};
}  // namespace

void SetScriptBodyObserverForTesting(ScriptBodyObserver observer) {
    g_bodyObserver.store(observer, std::memory_order_relaxed);
}

void CheckArgCount(lua_State* L, int count) {
    if (lua_gettop(L) != count) ThrowArgvError();
}

void CheckMinArgCount(lua_State* L, int count) {
    if (lua_gettop(L) < count) ThrowArgvError();
}

void RequireNonEmpty(const std::string& value) {
    if (value.empty()) ThrowArgvError();
}

void RequireNonEmpty(const pyn::ByteVector& value) {
    if (value.empty()) ThrowArgvError();
}

bool HasZeroByte(const std::string& text) { return text.find('\0') != std::string::npos; }

TextView GetStringView(lua_State* L, int index, std::string& storage) {
    return GetStringView(L, index, storage, pyn::CStringUtil::LocalIsUtf8());
}

TextView GetStringView(lua_State* L, int index, std::string& storage, bool localIsUtf8) {
    // Null for anything but a string or number.
    size_t len = 0;
    const char* s = lua_tolstring(L, index, &len);
    if (!s || len == 0) return TextView{"", 0};
    // utf8_s2s would return the bytes unchanged.
    if (localIsUtf8) return TextView{s, len};
    storage = pyn::CStringUtil::utf8_s2s(s, len);
    return TextView{storage.data(), storage.size()};
}

std::string GetStringArg(lua_State* L, int index) {
    std::string storage;
    TextView text = GetStringView(L, index, storage);
    if (text.data != storage.data()) storage.assign(text.data, text.size);
    return storage;
}

pyn::ByteVector GetBufferArg(lua_State* L, int index) {
    size_t len = 0;
    const char* s = lua_tolstring(L, index, &len);
    if (!s || len == 0) return pyn::ByteVector();
    return pyn::CStringUtil::str2vec(s, len);
}

std::string GetBytesArg(lua_State* L, int index) {
    size_t len = 0;
    const char* s = lua_tolstring(L, index, &len);
    if (!s || len == 0) return std::string();
    return std::string(s, len);
}

std::string RequireStringArg(lua_State* L, int index) {
    std::string text = GetStringArg(L, index);
    RequireNonEmpty(text);
    return text;
}

pyn::ByteVector RequireBufferArg(lua_State* L, int index) {
    pyn::ByteVector bytes = GetBufferArg(L, index);
    RequireNonEmpty(bytes);
    return bytes;
}

std::string RequireBytesArg(lua_State* L, int index) {
    std::string bytes = GetBytesArg(L, index);
    RequireNonEmpty(bytes);
    return bytes;
}

int LuaNumberToInt(lua_Number n) {
    // nearbyint follows the current rounding mode, round-to-nearest-even by
    // default, which is what the x87 conversion of the 32-bit build does.
    double r = std::nearbyint(static_cast<double>(n));
    if (!(r >= static_cast<double>(INT_MIN) && r <= static_cast<double>(INT_MAX))) return INT_MIN;
    return static_cast<int>(r);
}

int GetIntArg(lua_State* L, int index) {
    if (!lua_isnumber(L, index)) return 0;
    return LuaNumberToInt(lua_tonumber(L, index));
}

bool GetBoolArg(lua_State* L, int index) {
    return lua_type(L, index) == LUA_TBOOLEAN && lua_toboolean(L, index) != 0;
}

void PushText(lua_State* L, const std::string& local) { PushText(L, local.data(), local.size()); }

void PushText(lua_State* L, const char* local, size_t size) {
    // s2s_utf8 would return the bytes unchanged: no copy of them.
    if (size == 0 || pyn::CStringUtil::LocalIsUtf8()) {
        lua_pushlstring(L, local, size);
        return;
    }
    std::string utf8 = pyn::CStringUtil::s2s_utf8(local, size);
    lua_pushlstring(L, utf8.data(), utf8.size());
}

void PushBytes(lua_State* L, const std::string& bytes) { lua_pushlstring(L, bytes.data(), bytes.size()); }

void PushBytes(lua_State* L, const char* bytes, size_t size) { lua_pushlstring(L, bytes, size); }

void PushBytes(lua_State* L, const pyn::ByteVector& bytes) {
    lua_pushlstring(L, reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void PushBool(lua_State* L, bool value) { lua_pushboolean(L, value ? 1 : 0); }

void ReserveStack(lua_State* L, int extra) {
    if (extra < 0 || !lua_checkstack(L, extra)) ThrowArgvError();
}

void PushTextList(lua_State* L, const std::vector<std::string>& local) {
    ReserveStack(L, 3);
    lua_createtable(L, 0, 0);
    lua_Integer index = 1;
    for (const std::string& item : local) {
        lua_pushinteger(L, index++);
        PushText(L, item);
        lua_settable(L, -3);
    }
}

void EndRun(lua_State* L, const char* reason) { CRunControl::Raise(L, reason); }

namespace {

const char* RunBodyCatching(lua_State* L, lua_CFunction body, int* results, std::exception_ptr* luaError) noexcept {
    try {
        *results = body(L);
        return nullptr;
    } catch (const ScriptError& e) {
        return e.message;
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    } catch (const std::exception&) {
        return kInternalError;
    } catch (void*) {
        // Lua built as C++ raises its errors as a pointer (to the jump buffer
        // of the protected call): an error of a Lua API call inside the body
        // (memory exhaustion). The caller raises it again, unchanged, once
        // the body's objects are gone.
        *luaError = std::current_exception();
        return nullptr;
    } catch (...) {
        return kInternalError;
    }
}

}  // namespace

const char* RunScriptBody(lua_State* L, lua_CFunction body, int* results, std::exception_ptr* luaError,
                          bool* runEnded) noexcept {
    // Once the engine has shut down, the services a function would reach may
    // be going (their own clean-up at exit): every function refuses.
    if (CEngineLifetime::IsClosed()) return kEngineClosed;
    // A run that must end does not start anything more; one that must end
    // after the body (a wait cut short by the run's deadline or a stop) ends
    // then, its results dropped.
    if (const char* reason = CRunControl::Interruption()) {
        *runEnded = true;
        return reason;
    }
    const ScriptBodyObserver observer = g_bodyObserver.load(std::memory_order_relaxed);
    if (observer) observer(true);
    const char* error = RunBodyCatching(L, body, results, luaError);
    if (observer) observer(false);
    if (!error && !*luaError) {
        if (const char* reason = CRunControl::Interruption()) {
            *runEnded = true;
            return reason;
        }
    }
    return error;
}

}  // namespace orvex

// Conventions shared by every orvex script function.
//
// A script function is a plain C++ function `int F(lua_State*)` that reads its
// arguments with the readers below, calls one pyn operation or component and
// pushes its results with the helpers below. It reports a bad call by
// throwing (ThrowArgvError / ScriptError), never by calling luaL_error
// itself. It is registered through ORVEX_SCRIPT_FN, whose wrapper runs it,
// catches whatever it throws once all of its C++ objects are destroyed, and
// only then raises the Lua error. No C++ exception of a function's ever
// reaches Lua; Lua's own errors raised inside a body (with Lua built as C++,
// exceptions too) pass through unchanged.
#pragma once

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

#include <exception>
#include <map>
#include <string>
#include <vector>

#include "pyn/StringUtil.h"

namespace orvex {

// The fixed messages script functions raise.
extern const char kArgvError[];           // "argv error"
extern const char kAesEncryptError[];     // "aesEncrypt error."
extern const char kAesDecryptError[];     // "aesDecrypt error."
extern const char kGetLogBufferError[];   // "getLogBuffer error"

// Thrown by a script function; `message` must be a string with static
// storage duration (one of the constants above).
struct ScriptError {
    const char* message;
};

[[noreturn]] inline void ThrowScriptError(const char* message) { throw ScriptError{message}; }
[[noreturn]] inline void ThrowArgvError() { throw ScriptError{kArgvError}; }

// "argv error" unless the function got exactly / at least `count` arguments.
void CheckArgCount(lua_State* L, int count);
void CheckMinArgCount(lua_State* L, int count);
// "argv error" when `value` is empty.
void RequireNonEmpty(const std::string& value);
void RequireNonEmpty(const pyn::ByteVector& value);
// True when a text argument holds a zero byte: a path, name or command line
// handed on as a C string would be read only up to it, another text than the
// script's, so functions refuse such a text with their failure result.
bool HasZeroByte(const std::string& text);

// Argument readers.
// Text in the local code page: strings and numbers (in Lua's text form),
// converted from UTF-8; anything else, or a zero-length string, is "".
// Note: a number argument is turned into a string on the stack itself.
std::string GetStringArg(lua_State* L, int index);
// The text GetStringArg reads, without a copy when the local code page is
// UTF-8: then `data` points into the Lua string itself (valid while that
// stays on the stack), else into `storage`, which holds the conversion.
struct TextView {
    const char* data;
    size_t size;
};
TextView GetStringView(lua_State* L, int index, std::string& storage);
// The same, given whether the local code page is UTF-8
// (pyn::CStringUtil::LocalIsUtf8), for callers reading many texts at once.
TextView GetStringView(lua_State* L, int index, std::string& storage, bool localIsUtf8);
// GetStringArg, raising "argv error" when the text reads empty.
std::string RequireStringArg(lua_State* L, int index);
// Raw bytes of a string or number; anything else is empty.
pyn::ByteVector GetBufferArg(lua_State* L, int index);
// GetBufferArg, raising "argv error" when it reads empty.
pyn::ByteVector RequireBufferArg(lua_State* L, int index);
// As GetBufferArg, as a std::string.
std::string GetBytesArg(lua_State* L, int index);
// GetBytesArg, raising "argv error" when it reads empty.
std::string RequireBytesArg(lua_State* L, int index);
// A number or numeric string, rounded to the nearest integer (halves to
// even; NaN and values outside the int range read INT_MIN, as 32-bit x86
// does); anything else 0.
int GetIntArg(lua_State* L, int index);
// The value of a boolean; anything else false.
bool GetBoolArg(lua_State* L, int index);

// Rounding rule of GetIntArg for a Lua number.
int LuaNumberToInt(lua_Number n);

// Result helpers.
void PushText(lua_State* L, const std::string& local);  // converted to UTF-8
void PushText(lua_State* L, const char* local, size_t size);
void PushBytes(lua_State* L, const std::string& bytes);  // unchanged
void PushBytes(lua_State* L, const pyn::ByteVector& bytes);
void PushBytes(lua_State* L, const char* bytes, size_t size);
void PushBool(lua_State* L, bool value);
// A list table {texts...} of texts converted to UTF-8.
void PushTextList(lua_State* L, const std::vector<std::string>& local);
// Reserves room for `extra` more stack slots; a call that needs more than
// Lua can give fails as a bad call.
void ReserveStack(lua_State* L, int extra);

// Runs `body`; returns the message of a failure (null on success) after every
// object created inside `body` is gone. A Lua error that a Lua API call
// inside `body` raised (with Lua built as C++, an exception: lack of memory,
// say) comes back in `luaError` instead, to be raised again as it was, so
// that the script sees Lua's own message ("not enough memory"). `*runEnded`
// tells that the message is the end of the calling run (its time limit, a
// stop, ...), checked before and after the body: see CRunControl.
const char* RunScriptBody(lua_State* L, lua_CFunction body, int* results, std::exception_ptr* luaError,
                          bool* runEnded) noexcept;
// Ends the calling run with `reason` (CRunControl::Raise).
[[noreturn]] void EndRun(lua_State* L, const char* reason);

// Tests: called on the body's own thread as every script function's body
// starts (true) and ends (false), nested calls included. Null (no call) in
// the library; the allocation-failure tests count the C++ allocations of
// script functions with it.
using ScriptBodyObserver = void (*)(bool entering);
void SetScriptBodyObserverForTesting(ScriptBodyObserver observer);

template <lua_CFunction Body>
int ScriptFunction(lua_State* L) {
    int results = 0;
    bool runEnded = false;
    std::exception_ptr luaError;
    const char* error = RunScriptBody(L, Body, &results, &luaError, &runEnded);
    if (luaError) std::rethrow_exception(luaError);
    if (runEnded) EndRun(L, error);
    if (error) return luaL_error(L, "%s", error);
    return results;
}

}  // namespace orvex

// Entry of a library's luaL_Reg table.
#define ORVEX_SCRIPT_FN(name, fn) \
    { name, &::orvex::ScriptFunction<fn> }

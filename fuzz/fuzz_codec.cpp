// Codecs: Base64Decode, fromHex, AesDecrypt and OpensslAesDecryptHex with a
// key of any length (the input's first byte gives the length, the key
// follows, the rest is the data), the round trips of the encoders, and the
// encoded-script form: the engine's decoding (DecodeScriptText and the
// exported orvexDecodeScript agree), followed by a run of the decoded
// source in a Lua state with a memory limit and an instruction limit.
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "LuaEngineManager.h"
#include "LuaStateAllocator.h"
#include "OrvexHost.h"

using orvexfuzz::Fail;
using orvexfuzz::PushString;

namespace {


// lib.fn(args...) under pcall: true with the first result (or nil) on top,
// false with the error text on top.
bool Call(lua_State* L, const char* lib, const char* fn, const std::string& a, const std::string* b = nullptr) {
    PushString(L, a);
    if (b) PushString(L, *b);
    return orvexfuzz::CallScript(L, lib, fn, b ? 2 : 1, 1) == 0;
}

std::string TakeString(lua_State* L, const char* fn) {
    if (lua_type(L, -1) != LUA_TSTRING) Fail("%s gave a %s", fn, luaL_typename(L, -1));
    std::string s = orvexfuzz::BytesAt(L, -1);
    lua_pop(L, 1);
    return s;
}

// An error other than the ones `fn` may raise is a finding.
void ExpectError(lua_State* L, const char* fn, bool argvError, const char* own = nullptr) {
    std::string error = orvexfuzz::ErrorText(L);
    lua_pop(L, 1);
    if ((argvError && orvexfuzz::EndsWith(error, "argv error")) || (own && orvexfuzz::EndsWith(error, own))) return;
    Fail("%s raised: %s", fn, error.c_str());
}

// What a decoded script's run may do: a memory limit, and an instruction
// limit that raises an error in an endless script.
const size_t kRunMemoryLimit = 1 << 20;
const int kHookEvery = 1000;
const int kMaxHooks = 20;  // 20,000 instructions
int g_hooks = 0;

void CountHook(lua_State* L, lua_Debug*) {
    if (++g_hooks > kMaxHooks) luaL_error(L, "instruction limit");
}

int OpenSafeLibraries(lua_State* L) {
    // Lua's own libraries without the ones that reach the machine (io, os,
    // package, debug), and without what reads files or standard input.
    static const luaL_Reg libs[] = {
        {"", luaopen_base}, {LUA_TABLIBNAME, luaopen_table}, {LUA_STRLIBNAME, luaopen_string},
        {LUA_MATHLIBNAME, luaopen_math}};
    for (const luaL_Reg& lib : libs) {
        lua_pushcfunction(L, lib.func);
        lua_pushstring(L, lib.name);
        lua_call(L, 1, 0);
    }
    for (const char* name : {"dofile", "loadfile", "print", "require", "module"}) {
        lua_pushnil(L);
        lua_setglobal(L, name);
    }
    // One call of these runs in C, where the instruction limit never comes:
    // string.rep("", 2^31 - 1) or a pattern that backtracks takes seconds to
    // forever. What decoded scripts run is not what this target tests.
    lua_getglobal(L, LUA_STRLIBNAME);
    for (const char* name : {"rep", "find", "match", "gmatch", "gsub"}) {
        lua_pushnil(L);
        lua_setfield(L, -2, name);
    }
    lua_pop(L, 1);
    return 0;
}

// Loads the decoded source as the engine does (luaL_loadbuffer, the
// function's name as chunk name), runs it and calls orvexScriptMain.
void RunDecoded(const std::string& source) {
    // Lua 5.1 has no verifier for precompiled chunks: a malformed one can
    // crash the interpreter itself, whoever loads it.
    if (source.empty() || source[0] == '\033') return;
    orvex::CLuaStateAllocator allocator;
    allocator.SetLimit(kRunMemoryLimit);
    lua_State* L = lua_newstate(&orvex::CLuaStateAllocator::Allocate, &allocator);
    if (!L) return;
    if (lua_cpcall(L, &OpenSafeLibraries, nullptr) == 0) {
        g_hooks = 0;
        lua_sethook(L, &CountHook, LUA_MASKCOUNT, kHookEvery);
        if (luaL_loadbuffer(L, source.data(), source.size(), "orvexScriptMain") == 0 && lua_pcall(L, 0, 0, 0) == 0) {
            lua_getglobal(L, "orvexScriptMain");
            lua_pushstring(L, "argument");
            lua_pcall(L, 1, 1, 0);
        }
    }
    lua_close(L);
}

void Scripts(const std::string& data) {
    const std::string decoded = orvex::CLuaEngineManager::DecodeScriptText(data);
    // The exported decoding gives the same bytes, and the size it needs.
    const size_t needed = orvexDecodeScript(data.data(), data.size(), nullptr, 0);
    if (needed != decoded.size()) Fail("orvexDecodeScript needs %zu bytes, the engine decodes %zu", needed,
                                       decoded.size());
    if (needed > 0) {
        std::string out(needed, '\0');
        if (orvexDecodeScript(data.data(), data.size(), &out[0], out.size()) != needed || out != decoded)
            Fail("orvexDecodeScript gives other bytes than the engine");
    }
    const std::string encoded = orvex::CLuaEngineManager::EncodeScriptText(data);
    if (orvex::CLuaEngineManager::DecodeScriptText(encoded) != data) Fail("an encoded script does not decode back");
    RunDecoded(decoded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size == 0) return 0;
    lua_State* L = orvexfuzz::SharedEngineState();
    lua_settop(L, 0);
    const size_t keyLength = bytes[0] % 41;  // 0..40: every AES key size and its neighbours
    const std::string all(reinterpret_cast<const char*>(bytes) + 1, size - 1);
    const std::string key = all.substr(0, keyLength);
    const std::string data = all.substr(key.size());
    const bool empty = data.empty(), noKey = key.empty();

    // Decoders of text: any bytes give a string; only "" is refused.
    if (Call(L, "orvexAlgorithm", "Base64Decode", all)) TakeString(L, "Base64Decode");
    else ExpectError(L, "Base64Decode", all.empty());
    if (Call(L, "orvexUtil", "fromHex", all)) {
        std::string decoded = TakeString(L, "fromHex");
        if (decoded.size() * 2 != all.size() && !decoded.empty()) Fail("fromHex gave %zu bytes", decoded.size());
    } else {
        ExpectError(L, "fromHex", all.empty());
    }

    // Decryption with a key of any length.
    if (Call(L, "orvexAlgorithm", "AesDecrypt", data, &key)) {
        std::string plain = TakeString(L, "AesDecrypt");
        // An IV, whole blocks, and 1 to 16 bytes of padding.
        if (data.size() < 32 || plain.size() + 17 > data.size() || plain.size() + 32 < data.size())
            Fail("AesDecrypt of %zu bytes gave %zu", data.size(), plain.size());
    } else {
        ExpectError(L, "AesDecrypt", empty || noKey, "aesDecrypt error.");
    }
    if (Call(L, "orvexAlgorithm", "OpensslAesDecryptHex", data, &key)) {
        if (!lua_isnil(L, -1)) TakeString(L, "OpensslAesDecryptHex");
        else lua_pop(L, 1);
    } else {
        ExpectError(L, "OpensslAesDecryptHex", empty || noKey);
    }

    // Round trips.
    if (!empty) {
        if (!Call(L, "orvexAlgorithm", "Base64Encode", data)) Fail("Base64Encode raised");
        std::string text = TakeString(L, "Base64Encode");
        if (!Call(L, "orvexAlgorithm", "Base64Decode", text) || TakeString(L, "Base64Decode") != data)
            Fail("Base64Decode does not undo Base64Encode");
        if (!Call(L, "orvexUtil", "toHex", data)) Fail("toHex raised");
        std::string hex = TakeString(L, "toHex");
        if (!Call(L, "orvexUtil", "fromHex", hex) || TakeString(L, "fromHex") != data)
            Fail("fromHex does not undo toHex");
    }
    if (!empty && (key.size() == 16 || key.size() == 24 || key.size() == 32)) {
        if (!Call(L, "orvexAlgorithm", "AesEncrypt", data, &key)) Fail("AesEncrypt raised with a good key");
        std::string cipher = TakeString(L, "AesEncrypt");
        if (cipher.size() != 16 + 16 * (data.size() / 16 + 1)) Fail("AesEncrypt gave %zu bytes", cipher.size());
        if (!Call(L, "orvexAlgorithm", "AesDecrypt", cipher, &key) || TakeString(L, "AesDecrypt") != data)
            Fail("AesDecrypt does not undo AesEncrypt");
        if (!Call(L, "orvexAlgorithm", "OpensslAesEncryptHex", data, &key)) Fail("OpensslAesEncryptHex raised");
        std::string hex = TakeString(L, "OpensslAesEncryptHex");
        if (!Call(L, "orvexAlgorithm", "OpensslAesDecryptHex", hex, &key) ||
            TakeString(L, "OpensslAesDecryptHex") != data)
            Fail("OpensslAesDecryptHex does not undo OpensslAesEncryptHex");
    }

    Scripts(all);
    lua_settop(L, 0);
    lua_gc(L, LUA_GCSTEP, 64);
    return 0;
}

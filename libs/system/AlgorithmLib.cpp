// orvexAlgorithm script library: digests, AES, CRC-32 and Base64.
#include <cstdint>
#include <memory>
#include <new>

#include "LibraryTables.h"
#include "ScriptBinding.h"
#include "pyn/AlgorithmUtil.h"
#include "pyn/FileUtil.h"
#include "pyn/OpensslInterface.h"

namespace orvex {
namespace {

// The bytes of argument `index` as GetBufferArg reads them, but without a
// copy: digests, checksums and encodings of large buffers read the Lua
// string in place. Valid while the argument stays on the stack.
struct BytesView {
    const char* data;
    size_t size;
};

BytesView RequireBytesView(lua_State* L, int index) {
    size_t size = 0;
    const char* data = lua_tolstring(L, index, &size);
    if (!data || size == 0) ThrowArgvError();
    return BytesView{data, size};
}

int GetBufferMd5(lua_State* L) {
    CheckArgCount(L, 1);
    BytesView bytes = RequireBytesView(L, 1);
    PushText(L, pyn::CAlgorithmUtil::toHex(pyn::CAlgorithmUtil::GetBufferMD5_s(bytes.data, bytes.size)));
    return 1;
}

int GetFileMd5(lua_State* L) {
    if (lua_gettop(L) != 1 || !lua_isstring(L, 1)) ThrowArgvError();
    std::string path = RequireStringArg(L, 1);
    if (!pyn::CFileUtil::IsFile(path)) return 0;
    std::string hex = pyn::CAlgorithmUtil::toHex(pyn::CAlgorithmUtil::GetFileMD5(path));
    if (hex.empty()) return 0;
    PushText(L, hex);
    return 1;
}

// Reads (data, key) for the AES pairs.
void ReadDataAndKey(lua_State* L, pyn::ByteVector& data, pyn::ByteVector& key) {
    CheckArgCount(L, 2);
    data = GetBufferArg(L, 1);
    key = GetBufferArg(L, 2);
    RequireNonEmpty(data);
    RequireNonEmpty(key);
}

int AesEncrypt(lua_State* L) {
    pyn::ByteVector data, key, out;
    ReadDataAndKey(L, data, key);
    if (!pyn::CAlgorithmUtil::aesEncrypt(pyn::CStringUtil::vec2str(key), data, out))
        ThrowScriptError(kAesEncryptError);
    PushBytes(L, out);
    return 1;
}

int AesDecrypt(lua_State* L) {
    pyn::ByteVector data, key, out;
    ReadDataAndKey(L, data, key);
    if (!pyn::CAlgorithmUtil::aesDecrypt(pyn::CStringUtil::vec2str(key), data, out))
        ThrowScriptError(kAesDecryptError);
    PushBytes(L, out);
    return 1;
}

int OpensslAesEncryptHex(lua_State* L) {
    pyn::ByteVector data, key, out;
    ReadDataAndKey(L, data, key);
    if (!pyn::GetOpensslInterface()) return 0;
    if (!pyn::GetOpensslInterface()->AesEncryptHex(data, key, out)) return 0;
    PushBytes(L, out);
    return 1;
}

int OpensslAesDecryptHex(lua_State* L) {
    pyn::ByteVector data, key, out;
    ReadDataAndKey(L, data, key);
    if (!pyn::GetOpensslInterface()) return 0;
    if (!pyn::GetOpensslInterface()->AesDecryptHex(data, key, out)) return 0;
    PushBytes(L, out);
    return 1;
}

int GetCRC(lua_State* L) {
    CheckArgCount(L, 1);
    BytesView bytes = RequireBytesView(L, 1);
    uint32_t crc = pyn::CAlgorithmUtil::GetCRC(bytes.data, bytes.size);
    // The same 32 bits read as a signed number: 0xffffffff is -1.
    lua_pushnumber(L, static_cast<lua_Number>(static_cast<int32_t>(crc)));
    return 1;
}

int Base64Encode(lua_State* L) {
    CheckArgCount(L, 1);
    BytesView bytes = RequireBytesView(L, 1);
    // Encoded into an uninitialised buffer, which Lua copies once.
    const size_t room = pyn::CAlgorithmUtil::Base64Room(bytes.size);
    if (room == SIZE_MAX) throw std::bad_alloc();
    std::unique_ptr<char[]> text(new char[room]);
    PushBytes(L, text.get(), pyn::CAlgorithmUtil::toBase64(bytes.data, bytes.size, text.get()));
    return 1;
}

int Base64Decode(lua_State* L) {
    CheckArgCount(L, 1);
    std::string text = RequireBytesArg(L, 1);
    PushBytes(L, pyn::CAlgorithmUtil::fromBase64(text));
    return 1;
}

}  // namespace

const luaL_Reg kOrvexAlgorithmLib[] = {
    ORVEX_SCRIPT_FN("GetBufferMd5", GetBufferMd5),
    ORVEX_SCRIPT_FN("GetFileMd5", GetFileMd5),
    ORVEX_SCRIPT_FN("AesEncrypt", AesEncrypt),
    ORVEX_SCRIPT_FN("AesDecrypt", AesDecrypt),
    ORVEX_SCRIPT_FN("OpensslAesEncryptHex", OpensslAesEncryptHex),
    ORVEX_SCRIPT_FN("OpensslAesDecryptHex", OpensslAesDecryptHex),
    ORVEX_SCRIPT_FN("GetCRC", GetCRC),
    ORVEX_SCRIPT_FN("Base64Encode", Base64Encode),
    ORVEX_SCRIPT_FN("Base64Decode", Base64Decode),
    {nullptr, nullptr},
};

}  // namespace orvex

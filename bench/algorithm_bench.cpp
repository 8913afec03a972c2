// orvexAlgorithm's MD5, CRC-32 and Base64 on 1 MB and 64 MB buffers, called
// from Lua, next to the same OpenSSL / zlib calls made directly.
extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}
#include <openssl/evp.h>
#include <zlib.h>

#include <string>

#include "BenchSupport.h"
#include "LuaEngineInterface.h"

namespace {

std::string Buffer(size_t size) {
    std::string b(size, '\0');
    for (size_t i = 0; i < size; ++i) b[i] = static_cast<char>((i * 131) ^ (i >> 9));
    return b;
}

// A Lua state with the engine's libraries and the buffer as global "buf".
struct LuaFixture {
    lua_State* L = luaL_newstate();
    LuaFixture(const std::string& buf) {
        luaL_openlibs(L);
        lua_pushcfunction(L, luaopen_LuaEngine);
        lua_call(L, 0, 0);
        lua_pushlstring(L, buf.data(), buf.size());
        lua_setglobal(L, "buf");
    }
    ~LuaFixture() { lua_close(L); }
    // orvexAlgorithm[fn](buf); the result is left for the caller to drop.
    void Call(const char* fn) {
        lua_getglobal(L, "orvexAlgorithm");
        lua_getfield(L, -1, fn);
        lua_getglobal(L, "buf");
        lua_call(L, 1, 1);
        benchmark::DoNotOptimize(lua_tostring(L, -1));
        lua_pop(L, 2);
    }
};

void Engine(benchmark::State& state, const char* fn, int64_t size) {
    std::string buf = Buffer(static_cast<size_t>(size));
    LuaFixture lua(buf);
    for (auto _ : state) lua.Call(fn);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

void Md5Direct(benchmark::State& state, int64_t size) {
    std::string buf = Buffer(static_cast<size_t>(size));
    for (auto _ : state) {
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        EVP_Digest(buf.data(), buf.size(), md, &len, EVP_md5(), nullptr);
        static const char digits[] = "0123456789abcdef";
        std::string hex(2 * len, '\0');
        for (unsigned i = 0; i < len; ++i) {
            hex[2 * i] = digits[md[i] >> 4];
            hex[2 * i + 1] = digits[md[i] & 15];
        }
        benchmark::DoNotOptimize(hex.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

void CrcDirect(benchmark::State& state, int64_t size) {
    std::string buf = Buffer(static_cast<size_t>(size));
    for (auto _ : state) {
        uLong crc = crc32_z(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(buf.data()), buf.size());
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

void Base64Direct(benchmark::State& state, int64_t size) {
    std::string buf = Buffer(static_cast<size_t>(size));
    for (auto _ : state) {
        std::string out(4 * ((buf.size() + 2) / 3) + 1, '\0');
        int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                reinterpret_cast<const unsigned char*>(buf.data()), static_cast<int>(buf.size()));
        out.resize(static_cast<size_t>(n));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

const int64_t kSizes[] = {1 << 20, 64 << 20};

void Register() {
    for (int64_t size : kSizes) {
        std::string mb = std::to_string(size >> 20) + "MB";
        benchmark::RegisterBenchmark(("GetBufferMd5/" + mb + "/engine").c_str(), Engine, "GetBufferMd5", size);
        benchmark::RegisterBenchmark(("GetBufferMd5/" + mb + "/direct").c_str(), Md5Direct, size);
        benchmark::RegisterBenchmark(("GetCRC/" + mb + "/engine").c_str(), Engine, "GetCRC", size);
        benchmark::RegisterBenchmark(("GetCRC/" + mb + "/direct").c_str(), CrcDirect, size);
        benchmark::RegisterBenchmark(("Base64Encode/" + mb + "/engine").c_str(), Engine, "Base64Encode", size);
        benchmark::RegisterBenchmark(("Base64Encode/" + mb + "/direct").c_str(), Base64Direct, size);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Register();
    return orvexbench::RunWithPairRatios(argc, argv, orvexbench::Clock::Cpu);
}

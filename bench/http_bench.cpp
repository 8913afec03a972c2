// orvexUtil.HttpGetToBuffer of a 50 MB file from a loopback server, next to
// libcurl called directly in this process receiving the same file from the
// same server into memory (the ratio's baseline), and, for reference, the
// curl command fetching it.
extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}
#include <curl/curl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "BenchSupport.h"
#include "LuaEngineInterface.h"
#include "pyn/HttpUtil.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

const size_t kFileSize = 50u << 20;

// The test server (tests/fixtures/http_test_server.py) serving a 50 MB file.
struct Server {
    std::string dir;
    pid_t pid = -1;
    std::string url;

    Server() {
        char pattern[] = "/tmp/orvex-http-bench-XXXXXX";
        dir = mkdtemp(pattern);
        {
            std::string data(kFileSize, '\0');
            for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + (i >> 12));
            std::ofstream(dir + "/big.bin", std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
        }
        std::string script = (fs::path(__FILE__).parent_path() / "../tests/fixtures/http_test_server.py").string();
        std::string owner = std::to_string(getpid());
        std::string portFile = dir + "/port";
        std::vector<std::string> args = {"python3", script, "--root", dir, "--port-file", portFile, "--owner", owner};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        if (posix_spawnp(&pid, "python3", nullptr, nullptr, argv.data(), environ) != 0) pid = -1;
        for (int i = 0; i < 400 && pid > 0 && !fs::exists(portFile); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        std::ifstream in(portFile);
        std::string port((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        url = "http://127.0.0.1:" + port + "/files/big.bin";
    }
    ~Server() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

Server* g_server = nullptr;

void Engine(benchmark::State& state) {
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    lua_pushcfunction(L, luaopen_LuaEngine);
    lua_call(L, 0, 0);
    for (auto _ : state) {
        lua_getglobal(L, "orvexUtil");
        lua_getfield(L, -1, "HttpGetToBuffer");
        lua_pushstring(L, g_server->url.c_str());
        lua_call(L, 1, 1);
        size_t len = 0;
        lua_tolstring(L, -1, &len);
        if (len != kFileSize) state.SkipWithError("short body");
        lua_pop(L, 2);
        lua_gc(L, LUA_GCCOLLECT, 0);
    }
    lua_close(L);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

// The HTTP library alone, without the script binding (for the breakdown).
void Library(benchmark::State& state) {
    for (auto _ : state) {
        std::string body;
        int64_t status = 0;
        pyn::CSingleton<pyn::CHttpUtil>::GetInstance()->HttpGetToBuffer(g_server->url, body, status, nullptr, 10000,
                                                                        120000, -1);
        if (body.size() != kFileSize) state.SkipWithError("short body");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

// libcurl's write callback for Direct: appends to a std::string.
size_t AppendBody(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

// libcurl into memory, with the read size the engine sets.
void Direct(benchmark::State& state) {
    for (auto _ : state) {
        std::string body;
        CURL* curl = curl_easy_init();
        curl_easy_setopt(curl, CURLOPT_URL, g_server->url.c_str());
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 256L * 1024);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &AppendBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
        if (curl_easy_perform(curl) != CURLE_OK || body.size() != kFileSize) state.SkipWithError("curl failed");
        curl_easy_cleanup(curl);
        benchmark::DoNotOptimize(body.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

// The curl command writing to /dev/null (for comparison only).
void Command(benchmark::State& state) {
    const std::string command = "curl -sS -o /dev/null '" + g_server->url + "'";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) state.SkipWithError("curl failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

}  // namespace

int main(int argc, char** argv) {
    Server server;
    g_server = &server;
    benchmark::RegisterBenchmark("HttpGetToBuffer/50MB/engine", Engine)->Unit(benchmark::kMillisecond)->Iterations(15);
    benchmark::RegisterBenchmark("HttpGetToBuffer/50MB/library", Library)->Unit(benchmark::kMillisecond)->Iterations(15);
    benchmark::RegisterBenchmark("HttpGetToBuffer/50MB/direct", Direct)->Unit(benchmark::kMillisecond)->Iterations(15);
    benchmark::RegisterBenchmark("HttpGetToBuffer/50MB/command", Command)->Unit(benchmark::kMillisecond)->Iterations(15);
    return orvexbench::RunWithPairRatios(argc, argv, orvexbench::Clock::Real);
}

#include "FuzzSupport.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <system_error>
#include <vector>

#include "LuaEngineInterface.h"
#include "OrvexHost.h"

namespace orvexfuzz {
namespace fs = std::filesystem;

void Fail(const char* format, ...) {
    std::fprintf(stderr, "\n==== fuzz property failed: ");
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, "\n");
    std::fflush(stderr);
    abort();
}

namespace {

void DropLogRecord(int, const char*, int, const char*, void*) {}

std::string& ScratchPath() {
    static std::string path;
    return path;
}

void RemoveScratchAtExit() {
    if (!ScratchPath().empty()) RemoveTree(ScratchPath());
}

}  // namespace

void Setup() {
    orvexSetLogSink(&DropLogRecord, nullptr);
    orvexSetLocalCodePage("UTF-8");
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "ftp_proxy", "FTP_PROXY", "all_proxy",
                             "ALL_PROXY"})
        unsetenv(name);
    setenv("no_proxy", "*", 1);
    setenv("NO_PROXY", "*", 1);
}

const std::string& ScratchRoot(const char* name) {
    std::string& path = ScratchPath();
    if (!path.empty()) return path;
    const char* base = getenv("ORVEX_FUZZ_SCRATCH");
    if (!base || !*base) base = getenv("TMPDIR");
    if (!base || !*base) base = "/tmp";
    std::error_code ec;
    fs::create_directories(base, ec);
    std::string pattern = std::string(base) + "/orvex-fuzz-" + name + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) Fail("cannot make a scratch directory below %s", base);
    // The canonical path: results of the library come back that way.
    path = fs::canonical(buf.data()).string();
    std::atexit(&RemoveScratchAtExit);
    return path;
}

void RemoveTree(const std::string& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
}

void EmptyDir(const std::string& dir) {
    std::error_code ec;
    if (fs::symlink_status(dir, ec).type() != fs::file_type::directory) {
        fs::remove_all(dir, ec);
        fs::create_directories(dir, ec);
        return;
    }
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code ignored;
        fs::remove_all(it->path(), ignored);
    }
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) Fail("cannot write %s", path.c_str());
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0 || !ok) Fail("cannot write %s", path.c_str());
}

bool ReadFile(const std::string& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

std::string ListTree(const std::string& dir, const std::string& skip) {
    std::vector<std::string> lines;
    std::error_code ec;
    const fs::path root(dir);
    for (fs::recursive_directory_iterator it(root, fs::directory_options::none, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::string rel = it->path().lexically_relative(root).generic_string();
        if (!skip.empty() && (rel == skip || rel.compare(0, skip.size() + 1, skip + "/") == 0)) {
            if (it->is_directory(ec) && !it->is_symlink(ec)) it.disable_recursion_pending();
            continue;
        }
        std::string line = rel;
        fs::file_status st = it->symlink_status(ec);
        switch (st.type()) {
        case fs::file_type::regular: {
            std::string bytes;
            ReadFile(it->path().string(), bytes);
            line += " file " + std::to_string(bytes.size()) + " " + std::to_string(std::hash<std::string>()(bytes));
            break;
        }
        case fs::file_type::directory: line += " dir"; break;
        case fs::file_type::symlink: line += " link " + fs::read_symlink(it->path(), ec).string(); break;
        default: line += " other"; break;
        }
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const std::string& line : lines) out += line + "\n";
    return out;
}

lua_State* OpenEngineState() {
    lua_State* L = luaL_newstate();
    if (!L) Fail("no Lua state");
    luaL_openlibs(L);
    luaopen_LuaEngine(L);
    lua_settop(L, 0);
    return L;
}

lua_State* SharedEngineState() {
    static lua_State* L = [] {
        Setup();
        return OpenEngineState();
    }();
    return L;
}

int CallScript(lua_State* L, const char* lib, const char* fn, int nargs, int nresults) {
    lua_getfield(L, LUA_GLOBALSINDEX, lib);
    lua_getfield(L, -1, fn);
    lua_remove(L, -2);
    if (!lua_isfunction(L, -1)) Fail("%s.%s is no function", lib, fn);
    lua_insert(L, -(nargs + 1));
    return lua_pcall(L, nargs, nresults, 0);
}

void PushString(lua_State* L, const std::string& s) { lua_pushlstring(L, s.data(), s.size()); }

std::string BytesAt(lua_State* L, int index) {
    if (lua_type(L, index) != LUA_TSTRING && lua_type(L, index) != LUA_TNUMBER) return std::string();
    size_t len = 0;
    const char* s = lua_tolstring(L, index, &len);
    return std::string(s, len);
}

std::string ErrorText(lua_State* L, int index) {
    if (lua_type(L, index) == LUA_TSTRING) return BytesAt(L, index);
    return std::string("(a ") + luaL_typename(L, index) + " value)";
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace orvexfuzz

#include "TestSupport.h"

#include "LuaEngineManager.h"
#include "OrvexEngine.h"

#include <stdio.h>
#include <stdlib.h>
#if defined(_WIN32)
#include <process.h>
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "OrvexHost.h"
#include "pyn/HostSettings.h"
#include "pyn/ReadWriteLockUtil.h"

namespace fs = std::filesystem;

namespace orvextest {

TempDir::TempDir() {
#if defined(_WIN32)
    static std::atomic<unsigned> counter{0};
    const fs::path base = fs::temp_directory_path();
    for (int attempt = 0; m_path.empty(); ++attempt) {
        if (attempt == 100) throw std::runtime_error("cannot make a temporary directory");
        fs::path candidate = base / ("orvex-test-" + std::to_string(_getpid()) + "-" + std::to_string(++counter) +
                                     "-" + std::to_string(rand()));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) m_path = candidate.generic_string();
    }
#else
    std::string pattern = (fs::temp_directory_path() / "orvex-test-XXXXXX").string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    m_path = buf.data();
#endif
}

TempDir::~TempDir() {
    std::error_code ec;
    // Make everything writable again first (tests may have removed write bits).
    for (auto it = fs::recursive_directory_iterator(m_path, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(m_path, ec);
#ifndef _WIN32
    // A test run as root makes a directory immutable to make writes fail; a
    // run that ended early (its memory refused) may not have undone it.
    if (fs::exists(m_path, ec) && std::system(("chattr -R -i " + ShellQuote(m_path) + " 2>/dev/null").c_str()) == 0)
        fs::remove_all(m_path, ec);
#endif
}

std::string TempDir::file(const std::string& name) const { return m_path + "/" + name; }

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Encode(const std::string& source) {
    size_t need = orvexEncodeScript(source.data(), source.size(), nullptr, 0);
    std::string out(need, '\0');
    if (need) orvexEncodeScript(source.data(), source.size(), &out[0], out.size());
    return out;
}

void WriteScript(const std::string& path, const std::string& source, bool encoded) {
    WriteFile(path, encoded ? Encode(source) : source);
}

LogCapture::LogCapture() { orvexSetLogSink(&LogCapture::Sink, this); }

LogCapture::~LogCapture() { orvexSetLogSink(nullptr, nullptr); }

void LogCapture::Sink(int level, const char* source, int line, const char* text, void* user) {
    auto* self = static_cast<LogCapture*>(user);
    std::lock_guard<std::mutex> guard(self->m_mutex);
    self->m_records.push_back(LogRecord{level, source, line, text});
}

std::vector<LogRecord> LogCapture::records() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_records;
}

bool LogCapture::contains(const std::string& needle) const {
    std::lock_guard<std::mutex> guard(m_mutex);
    for (const LogRecord& r : m_records)
        if (r.text.find(needle) != std::string::npos) return true;
    return false;
}

CodePageScope::CodePageScope(const std::string& name) { orvexSetLocalCodePage(name.c_str()); }
CodePageScope::~CodePageScope() { orvexSetLocalCodePage(nullptr); }

ReadLimitScope::ReadLimitScope(size_t bytes) : m_previous(pyn::CHostSettings::ReadLimit()) {
    orvexSetReadLimit(bytes);
}
ReadLimitScope::~ReadLimitScope() { orvexSetReadLimit(m_previous); }

AppDirScope::AppDirScope(const std::string& dir) { orvexSetApplicationDir(dir.c_str()); }
AppDirScope::~AppDirScope() { orvexSetApplicationDir(nullptr); }

LockUnitScope::LockUnitScope(long long microsPerUnit) {
    pyn::CReadWriteLockUtil::SetTimeUnitForTesting(std::chrono::microseconds(microsPerUnit));
}
LockUnitScope::~LockUnitScope() { pyn::CReadWriteLockUtil::SetTimeUnitForTesting(std::chrono::seconds(1)); }

namespace {

std::string ReadAll(FILE* p) {
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    return out;
}

}  // namespace

#if defined(_WIN32)
// cmd.exe: double quotes (the texts quoted here hold none).
std::string ShellQuote(const std::string& text) { return "\"" + text + "\""; }

int RunCommand(const std::string& command, std::string* output) {
    // cmd /c drops the first and the last quote of its command line: one more
    // pair keeps the command's own quotes intact.
    FILE* p = _popen(("\"" + command + "\"").c_str(), "rt");
    if (!p) return -1;
    std::string out = ReadAll(p);
    int status = _pclose(p);
    if (output) *output = out;
    return status;
}
#else
std::string ShellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

int RunCommand(const std::string& command, std::string* output) {
    FILE* p = popen(command.c_str(), "r");
    if (!p) return -1;
    std::string out = ReadAll(p);
    int status = pclose(p);
    if (output) *output = out;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

std::vector<std::string> ScriptTestNames() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(ORVEX_TEST_LUA_DIR)) {
        std::string name = entry.path().filename().string();
        if (name.size() > 9 && name.compare(name.size() - 9, 9, "_test.lua") == 0)
            names.push_back(name.substr(0, name.size() - 9));
    }
    std::sort(names.begin(), names.end());
    return names;
}

CurrentDirScope::CurrentDirScope(const std::string& dir) : m_saved(fs::current_path().string()) {
    fs::current_path(dir);
}

CurrentDirScope::~CurrentDirScope() {
    std::error_code ec;
    fs::current_path(m_saved, ec);
}

bool RunningUnderWine() {
#if defined(_WIN32)
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

void LetEndedThreadsGo() {
#if defined(_WIN32)
    std::this_thread::sleep_for(pyn::CThreadEndCall::kPollInterval + std::chrono::milliseconds(50));
#endif
    orvexGetStatistics(nullptr, 0);
}

size_t WorkerCountAfterAHostCall() {
    LetEndedThreadsGo();
    return orvex::CLuaEngineManager::Instance().WorkerCountForTesting();
}

}  // namespace orvextest

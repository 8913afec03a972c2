// Helpers shared by the tests.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace orvextest {

// A fresh directory below the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    // path() + "/" + name
    std::string file(const std::string& name) const;

private:
    std::string m_path;
};

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
// The encoded script form of `source`.
std::string Encode(const std::string& source);
// Writes `source` to `path`, encoded or plain.
void WriteScript(const std::string& path, const std::string& source, bool encoded = false);

struct LogRecord {
    int level;
    std::string source;
    int line;
    std::string text;
};

// Captures every log record while it lives (installs a sink; restores the
// default one on destruction).
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::vector<LogRecord> records() const;
    // True when some record's text contains `needle`.
    bool contains(const std::string& needle) const;

private:
    static void Sink(int level, const char* source, int line, const char* text, void* user);
    mutable std::mutex m_mutex;
    std::vector<LogRecord> m_records;
};

// Sets the local code page for its lifetime.
class CodePageScope {
public:
    explicit CodePageScope(const std::string& name);
    ~CodePageScope();
};

// Sets the application directory for its lifetime.
class AppDirScope {
public:
    explicit AppDirScope(const std::string& dir);
    ~AppDirScope();
};

// Sets the read limit (orvexSetReadLimit) for its lifetime.
class ReadLimitScope {
public:
    explicit ReadLimitScope(size_t bytes);
    ~ReadLimitScope();

private:
    size_t m_previous;
};

// Shrinks the engine lock's time-out unit for its lifetime.
class LockUnitScope {
public:
    explicit LockUnitScope(long long microsPerUnit);
    ~LockUnitScope();
};

// Runs `command` through the system shell (/bin/sh, or cmd.exe on Windows);
// returns its exit status and stdout (text mode: "\n" line ends).
int RunCommand(const std::string& command, std::string* output = nullptr);
// Quotes a text for that shell.
std::string ShellQuote(const std::string& text);

// True in a Windows build run under Wine.
bool RunningUnderWine();

// Makes a host call at which the threads that have ended leave their
// workers (on Windows, where the engine looks for ended threads at most every
// CThreadEndCall::kPollInterval, after waiting past it; elsewhere they left
// them already as they ended).
void LetEndedThreadsGo();
// The engine's workers after LetEndedThreadsGo.
size_t WorkerCountAfterAHostCall();

// The names of the script tests: every tests/lua/<name>_test.lua, sorted.
std::vector<std::string> ScriptTestNames();

// Makes `dir` the current directory for its lifetime.
class CurrentDirScope {
public:
    explicit CurrentDirScope(const std::string& dir);
    ~CurrentDirScope();
    CurrentDirScope(const CurrentDirScope&) = delete;
    CurrentDirScope& operator=(const CurrentDirScope&) = delete;

private:
    std::string m_saved;
};

}  // namespace orvextest

// orvex: runs orvex scripts from the command line, the way the agent does.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <sys/syscall.h>
#endif

#include <rapidjson/document.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "AgentFile.h"
#include "OrvexHost.h"

namespace {

const char kUsage[] =
    "usage:\n"
    "  orvex [GLOBAL...] run [--func NAME] [--encoded] [--lock] SCRIPT [ARG...]\n"
    "      Runs SCRIPT's main chunk, then calls NAME (default orvexScriptMain)\n"
    "      with the ARGs. Prints the result string; exit status 0 when the\n"
    "      call's outcome is true, 1 when it is false.\n"
    "      --encoded  SCRIPT holds the encoded form (see encode)\n"
    "      --lock     run with no other script running at the same time\n"
    "      --time-limit MS      end the run after MS milliseconds (outcome\n"
    "                           false, \"script time limit exceeded\")\n"
    "      --memory-limit BYTES the run's Lua state may hold at most BYTES\n"
    "      --stats    after the result, print the run's time, its Lua state's\n"
    "                 peak memory and the engine's statistics (JSON) to\n"
    "                 standard error\n"
    "  orvex [GLOBAL...] var-int [--encoded] SCRIPT NAME\n"
    "      Runs SCRIPT's main chunk and prints the integer value of global NAME.\n"
    "  orvex [GLOBAL...] var-map [--encoded] SCRIPT NAME\n"
    "      Runs SCRIPT's main chunk and prints the string entries of global\n"
    "      table NAME, one 'key<TAB>value' line each, in key order.\n"
    "  orvex encode [-o OUT] FILE\n"
    "  orvex decode [-o OUT] FILE\n"
    "      Writes the encoded form of a plain script (Base64 of the bytewise\n"
    "      complement), or the plain source of an encoded one, to OUT or stdout.\n"
    "  orvex --help\n"
    "\n"
    "GLOBAL options:\n"
    "  --app-dir DIR     application directory (module scripts are read from\n"
    "                    DIR/luascript); default: the directory of this program\n"
    "  --code-page NAME  local code page of arguments and results (\"GBK\",\n"
    "                    \"ISO-8859-1\", ...); default: taken from LC_ALL, LC_CTYPE\n"
    "                    or LANG (on Windows: the ANSI code page)\n"
    "  --agent FILE      installs stand-ins for the agent's configuration,\n"
    "                    network and IPC components, read from the JSON file\n"
    "                    FILE:\n"
    "                      {\"config\": {\"VMid\": \"...\", \"MachineUuid\": \"...\",\n"
    "                                  \"IdentityIp\": \"...\", \"PlatInfo\": \"...\",\n"
    "                                  \"CurrentVersion\": \"...\", \"ServiceIp\": \"...\",\n"
    "                                  \"Uuid\": \"...\"},\n"
    "                       \"login\": true, \"recordDir\": \"DIR\"}\n"
    "                    Every key is optional; texts are in the local code page.\n"
    "                    Network messages are appended to DIR/network.jsonl and\n"
    "                    IPC writes to DIR/ipc.jsonl (DIR relative to FILE's\n"
    "                    directory); without recordDir both are refused.\n"
    "\n"
    "Exit status 2: bad usage, or a script or file that cannot be read.\n";

int UsageError(const std::string& message) {
    std::cerr << "orvex: " << message << " (see orvex --help)\n";
    return 2;
}

bool ReadFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// The calling thread's id, as the engine's statistics give it.
unsigned CurrentThreadId() {
#if defined(_WIN32)
    return static_cast<unsigned>(GetCurrentThreadId());
#else
    return static_cast<unsigned>(syscall(SYS_gettid));
#endif
}

bool CanRead(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

int WriteOutput(const std::string& data, const std::string& outPath) {
    if (outPath.empty()) {
#if defined(_WIN32)
        // Script texts go out byte for byte, without "\r\n" line ends.
        std::cout.flush();
        _setmode(_fileno(stdout), _O_BINARY);
#endif
        std::cout.write(data.data(), static_cast<std::streamsize>(data.size()));
        std::cout.flush();
        return std::cout ? 0 : 2;
    }
    std::ofstream out(outPath, std::ios::binary | std::ios::trunc);
    if (!out || !out.write(data.data(), static_cast<std::streamsize>(data.size()))) {
        std::cerr << "orvex: cannot write " << outPath << "\n";
        return 2;
    }
    return 0;
}

int Transcode(bool encode, const std::vector<std::string>& args) {
    std::string outPath, inPath;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-o") {
            if (++i >= args.size()) return UsageError("-o needs a file name");
            outPath = args[i];
        } else if (inPath.empty() && (args[i].empty() || args[i][0] != '-')) {
            inPath = args[i];
        } else {
            return UsageError("unexpected argument '" + args[i] + "'");
        }
    }
    if (inPath.empty()) return UsageError("missing FILE");
    std::string data;
    if (!ReadFile(inPath, data)) {
        std::cerr << "orvex: cannot read " << inPath << "\n";
        return 2;
    }
    size_t need = encode ? orvexEncodeScript(data.data(), data.size(), nullptr, 0)
                         : orvexDecodeScript(data.data(), data.size(), nullptr, 0);
    std::string out(need, '\0');
    if (need) {
        if (encode)
            orvexEncodeScript(data.data(), data.size(), &out[0], out.size());
        else
            orvexDecodeScript(data.data(), data.size(), &out[0], out.size());
    }
    if (!encode && out.empty() && !data.empty()) {
        std::cerr << "orvex: " << inPath << " is not in the encoded form\n";
        return 2;
    }
    return WriteOutput(out, outPath);
}

struct ScriptOptions {
    std::string func;
    bool encoded = false;
    bool lock = false;
    unsigned long long timeLimitMs = 0;
    unsigned long long memoryLimit = 0;
    bool stats = false;
    std::vector<std::string> positional;
};

// A whole decimal number, at most `max`.
bool ParseCount(const std::string& text, unsigned long long max, unsigned long long& value) {
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    value = strtoull(text.c_str(), nullptr, 10);
    return errno == 0 && value <= max;
}

// Parses the options of run / var-int / var-map; options end at the script.
bool ParseScriptOptions(const std::vector<std::string>& args, bool allowRunOptions, ScriptOptions& opt,
                        std::string& error) {
    size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--encoded") {
            opt.encoded = true;
        } else if (allowRunOptions && a == "--lock") {
            opt.lock = true;
        } else if (allowRunOptions && a == "--func") {
            if (++i >= args.size()) {
                error = "--func needs a name";
                return false;
            }
            opt.func = args[i];
        } else if (allowRunOptions && a == "--stats") {
            opt.stats = true;
        } else if (allowRunOptions && (a == "--time-limit" || a == "--memory-limit")) {
            const bool time = a == "--time-limit";
            if (++i >= args.size() ||
                !ParseCount(args[i], time ? 0xFFFFFFFFull : static_cast<unsigned long long>(SIZE_MAX),
                            time ? opt.timeLimitMs : opt.memoryLimit)) {
                error = a + (time ? " needs a number of milliseconds" : " needs a number of bytes");
                return false;
            }
        } else if (a == "--") {
            ++i;
            break;
        } else if (a.size() > 1 && a[0] == '-') {
            error = "unknown option '" + a + "'";
            return false;
        } else {
            break;
        }
    }
    opt.positional.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    if (opt.positional.empty()) {
        error = "missing SCRIPT";
        return false;
    }
    return true;
}

// The run's time, the peak memory of this thread's Lua state and the
// engine's statistics, on standard error.
void PrintStats(std::chrono::steady_clock::duration took) {
    std::string json(orvexGetStatistics(nullptr, 0), '\0');
    if (!json.empty()) json.resize(orvexGetStatistics(&json[0], json.size()));
    unsigned long long peak = 0;
    rapidjson::Document doc;
    doc.Parse(json.c_str(), json.size());
    if (!doc.HasParseError() && doc.IsObject() && doc.HasMember("states") && doc["states"].IsArray()) {
        for (const auto& state : doc["states"].GetArray())
            if (state.IsObject() && state.HasMember("thread") && state["thread"].IsUint() &&
                state["thread"].GetUint() == CurrentThreadId() && state.HasMember("peakBytes") &&
                state["peakBytes"].IsUint64())
                peak = state["peakBytes"].GetUint64();
    }
    std::cerr << "time: " << std::chrono::duration<double, std::milli>(took).count() << " ms\n"
              << "peak memory: " << peak << " bytes\n"
              << "statistics: " << json << "\n";
}

int Run(const std::vector<std::string>& args) {
    ScriptOptions opt;
    std::string error;
    if (!ParseScriptOptions(args, true, opt, error)) return UsageError(error);
    const std::string& script = opt.positional[0];
    if (!CanRead(script)) {
        std::cerr << "orvex: cannot read script " << script << "\n";
        return 2;
    }
    std::vector<std::string> scriptArgs(opt.positional.begin() + 1, opt.positional.end());
    if (opt.timeLimitMs) orvexSetRunTimeLimit(static_cast<unsigned>(opt.timeLimitMs));
    if (opt.memoryLimit) orvexSetStateMemoryLimit(static_cast<size_t>(opt.memoryLimit));
    std::string result;
    const auto start = std::chrono::steady_clock::now();
    bool ok = opt.lock ? CLuaEngineInterface::LockExecLua(script, opt.func, result, scriptArgs, opt.encoded)
                       : CLuaEngineInterface::ExecLua(script, opt.func, result, scriptArgs, opt.encoded);
    const auto took = std::chrono::steady_clock::now() - start;
    std::cout << result << "\n";
    std::cout.flush();
    if (opt.stats) PrintStats(took);
    return ok ? 0 : 1;
}

int VarRead(bool map, const std::vector<std::string>& args) {
    ScriptOptions opt;
    std::string error;
    if (!ParseScriptOptions(args, false, opt, error)) return UsageError(error);
    if (opt.positional.size() != 2) return UsageError("expected SCRIPT and NAME");
    const std::string& script = opt.positional[0];
    if (!CanRead(script)) {
        std::cerr << "orvex: cannot read script " << script << "\n";
        return 2;
    }
    if (map) {
        for (const auto& kv : CLuaEngineInterface::GetVarMap(script, opt.positional[1], opt.encoded))
            std::cout << kv.first << "\t" << kv.second << "\n";
    } else {
        std::cout << CLuaEngineInterface::GetVarInt(script, opt.positional[1], opt.encoded) << "\n";
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    size_t i = 0;
    for (; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (args[i] == "--app-dir" || args[i] == "--code-page" || args[i] == "--agent") {
            if (i + 1 >= args.size()) return UsageError(args[i] + " needs a value");
            if (args[i] == "--app-dir") {
                orvexSetApplicationDir(args[i + 1].c_str());
            } else if (args[i] == "--code-page") {
                orvexSetLocalCodePage(args[i + 1].c_str());
            } else {
                std::string error;
                if (!orvexcli::InstallAgentFile(args[i + 1], error)) {
                    std::cerr << "orvex: " << error << "\n";
                    return 2;
                }
            }
            ++i;
        } else {
            break;
        }
    }
    if (i >= args.size()) return UsageError("missing command");
    const std::string command = args[i];
    std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
    if (command == "run") return Run(rest);
    if (command == "var-int") return VarRead(false, rest);
    if (command == "var-map") return VarRead(true, rest);
    if (command == "encode") return Transcode(true, rest);
    if (command == "decode") return Transcode(false, rest);
    return UsageError("unknown command '" + command + "'");
}

// orvex_shutdown_host: a host that loads the engine library at run time, for
// the tests of what happens at process exit and library unload.
//
//   orvex_shutdown_host LIBRARY HOW SCRIPT [ARG...] [-- AGENTS AGENT_SCRIPT]
//
// Loads LIBRARY, runs SCRIPT's orvexScriptMain(ARG...) through ExecLua (on a
// thread of its own),
// prints the result and then ends as HOW says:
//   return   returns from main
//   exit     calls exit()
//   unload   unloads the library, then returns from main
//   unexit   unloads the library, then calls exit()
//   wait     waits (for a script to end the process)
// With "-- N AGENT_SCRIPT", N more threads run AGENT_SCRIPT through ExecLua
// over and over meanwhile (and are still at it when the process ends).
// Exit codes: 0 as HOW says, 3 when the library or its functions cannot be
// had, 4 when ExecLua gave false.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

using ExecLuaFn = bool (*)(const std::string&, const std::string&, std::string&, const std::vector<std::string>&,
                           bool);

// CLuaEngineInterface::ExecLua as the library exports it.
const char kExecLua[] =
    "_ZN19CLuaEngineInterface7ExecLuaERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES7_RS5_RKSt6vectorIS5_"
    "SaIS5_EEb";

#if defined(_WIN32)
void* Open(const char* path) { return LoadLibraryA(path); }
void* Symbol(void* module, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}
void Close(void* module) { FreeLibrary(static_cast<HMODULE>(module)); }
#else
void* Open(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
void* Symbol(void* module, const char* name) { return dlsym(module, name); }
void Close(void* module) { dlclose(module); }
#endif

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s LIBRARY HOW SCRIPT [ARG...] [-- AGENTS AGENT_SCRIPT]\n", argv[0]);
        return 2;
    }
    const std::string how = argv[2];
    const std::string script = argv[3];
    std::vector<std::string> args;
    int agents = 0;
    std::string agentScript;
    for (int i = 4; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0 && i + 2 < argc) {
            agents = std::atoi(argv[i + 1]);
            agentScript = argv[i + 2];
            break;
        }
        args.push_back(argv[i]);
    }

    void* library = Open(argv[1]);
    if (!library) return 3;
    auto execLua = reinterpret_cast<ExecLuaFn>(Symbol(library, kExecLua));
    if (!execLua) return 3;

    for (int i = 0; i < agents; ++i) {
        std::thread([execLua, agentScript] {
            for (;;) {
                std::string result;
                execLua(agentScript, "", result, {}, false);
            }
        }).detach();
    }

    // On a thread that ends before the library is unloaded: a thread that
    // lives on after using the library (its per-thread data) keeps it
    // loaded.
    std::string result;
    bool ok = false;
    std::thread([&] { ok = execLua(script, "", result, args, false); }).join();
    std::printf("%s\n", result.c_str());
    std::fflush(stdout);
    if (!ok) return 4;
    if (how == "exit") std::exit(0);
    if (how == "unload" || how == "unexit") {
        Close(library);
        std::printf("unloaded\n");
        std::fflush(stdout);
        if (how == "unexit") std::exit(0);
    }
    if (how == "wait")
        for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
    return 0;
}

// orvex_shutdown_host: a host that loads the engine library at run time, for
// the tests of what happens at process exit and library unload.
//
//   orvex_shutdown_host LIBRARY HOW SCRIPT [ARG...] [--|--ending AGENTS AGENT_SCRIPT]
//
// Loads LIBRARY, runs SCRIPT's orvexScriptMain(ARG...) through ExecLua on a
// thread of its own, which then stays until the end (so its Lua state is
// still there), prints the result and then ends as HOW says:
//   return   returns from main
//   exit     calls exit()
//   unload   unloads the library, lets the calling thread end, then returns
//            from main
//   unexit   unloads the library, then calls exit()
//   wait     waits (for a script to end the process)
//   end      the calling thread ends before the result is printed (taking
//            its state with it), then returns from main
// With "-- N AGENT_SCRIPT", N more threads run AGENT_SCRIPT through ExecLua
// over and over meanwhile (and are still at it when the process ends); with
// "--ending N AGENT_SCRIPT" each of them starts thread after thread that
// makes one such call and ends.
// Exit codes: 0 as HOW says, 3 when the library or its functions cannot be
// had, 4 when ExecLua gave false.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
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

// Runs `fn` on a new thread of the system's own and waits until that
// thread has ended. On Windows a thread of the system's API, as an agent
// makes them: the C++ runtime's threads there go through a threads library
// of their own, whose start and end are not what is tested here.
#ifdef _WIN32
template <typename Fn>
DWORD WINAPI RunFn(LPVOID context) {
    (*static_cast<Fn*>(context))();
    return 0;
}
#endif

template <typename Fn>
void RunOnThreadThatEnds(Fn& fn) {
#ifdef _WIN32
    HANDLE thread = CreateThread(nullptr, 0, &RunFn<Fn>, &fn, 0, nullptr);
    if (!thread) return;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
#else
    std::thread(fn).join();
#endif
}

// Between main and the thread that makes the call.
struct Turns {
    std::mutex mutex;
    std::condition_variable changed;
    bool called = false;
    bool release = false;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s LIBRARY HOW SCRIPT [ARG...] [--|--ending AGENTS AGENT_SCRIPT]\n", argv[0]);
        return 2;
    }
    const std::string how = argv[2];
    const std::string script = argv[3];
    std::vector<std::string> args;
    int agents = 0;
    bool agentThreadsEnd = false;
    std::string agentScript;
    for (int i = 4; i < argc; ++i) {
        agentThreadsEnd = std::strcmp(argv[i], "--ending") == 0;
        if ((agentThreadsEnd || std::strcmp(argv[i], "--") == 0) && i + 2 < argc) {
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
        std::thread([execLua, agentScript, agentThreadsEnd] {
            auto call = [execLua, agentScript] {
                std::string result;
                execLua(agentScript, "", result, {}, false);
            };
            for (;;) {
                if (agentThreadsEnd)
                    RunOnThreadThatEnds(call);
                else
                    call();
            }
        }).detach();
    }

    std::string result;
    bool ok = false;
    // Never destroyed: the calling thread may still wait on it at exit.
    static Turns* turns = new Turns;
    std::thread caller([&] {
        ok = execLua(script, "", result, args, false);
        std::unique_lock<std::mutex> lock(turns->mutex);
        turns->called = true;
        turns->changed.notify_all();
        if (how != "end") turns->changed.wait(lock, [] { return turns->release; });
    });
    auto endCaller = [&] {
        {
            std::lock_guard<std::mutex> lock(turns->mutex);
            turns->release = true;
        }
        turns->changed.notify_all();
        caller.join();
    };
    if (how == "end") {
        caller.join();
    } else {
        std::unique_lock<std::mutex> lock(turns->mutex);
        turns->changed.wait(lock, [] { return turns->called; });
    }
    std::printf("%s\n", result.c_str());
    std::fflush(stdout);
    if (!ok) return 4;
    if (how == "exit") std::exit(0);
    if (how == "unload" || how == "unexit") {
        Close(library);
        std::printf("unloaded\n");
        std::fflush(stdout);
        if (how == "unexit") std::exit(0);
        // A thread that used the library ends after it is gone.
        endCaller();
        return 0;
    }
    if (how == "wait")
        for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
    if (caller.joinable()) caller.detach();  // still there at exit
    return 0;
}

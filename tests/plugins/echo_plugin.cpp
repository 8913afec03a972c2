// A plug-in for the orvexLibrary tests: text-in, text-out functions.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

// Exported by their plain names (cdecl; undecorated in a DLL too).
#ifdef _WIN32
#define PLUGIN_EXPORT extern "C" __declspec(dllexport)
#else
#define PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

// Results must outlive the call: each thread keeps its last one, cut to the
// buffer's size. A plain buffer, not a std::string: a thread-local object
// with a destructor would pin the module in memory after dlclose.
char* Keep(const std::string& text) {
    thread_local char result[256];
    size_t size = text.copy(result, sizeof result - 1);
    result[size] = '\0';
    return result;
}

// 0 idle, 1 a call is inside Block, 2 Block may return.
std::atomic<int> g_blockState{0};

}  // namespace

// The parameter's bytes as given (up to `length`).
PLUGIN_EXPORT char* Echo(const char* text, uint32_t length) { return Keep(std::string(text, length)); }

// The length the caller passed, in decimal.
PLUGIN_EXPORT char* Length(const char*, uint32_t length) { return Keep(std::to_string(length)); }

PLUGIN_EXPORT char* ReturnNull(const char*, uint32_t) { return nullptr; }

PLUGIN_EXPORT char* ReturnEmpty(const char*, uint32_t) {
    static char empty[] = "";
    return empty;
}

// Stays inside the module until Unblock is called (at most ten seconds).
PLUGIN_EXPORT char* Block(const char*, uint32_t) {
    g_blockState = 1;
    for (int i = 0; i < 10000 && g_blockState != 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    bool released = g_blockState == 2;
    g_blockState = 0;
    return Keep(released ? "released" : "timed out");
}

// "inside" while a call waits in Block, else "idle".
PLUGIN_EXPORT char* BlockState(const char*, uint32_t) { return Keep(g_blockState == 1 ? "inside" : "idle"); }

// Exported data, not a function: calling it would jump into these bytes.
PLUGIN_EXPORT const char NotAFunction[] = "\xcc\xcc\xcc\xcc";

PLUGIN_EXPORT char* Unblock(const char*, uint32_t) {
    int inside = 1;
    return Keep(g_blockState.compare_exchange_strong(inside, 2) ? "ok" : "nothing to release");
}

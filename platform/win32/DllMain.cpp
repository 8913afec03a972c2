// Entry point of orvexLuaEngine.dll. Attaching only turns off the thread
// attach and detach notifications: the engine builds everything on first
// use, and the loader lock held here forbids anything more. Detaching tells
// the engine, whose shutdown runs right after this (the library's static
// objects go then), under what conditions it runs.
#include <windows.h>

// In the engine (EngineLifetime.cpp).
void orvexLoaderDetaching(bool processEnding);

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    // A non-null `reserved` at detach: the process is ending, and its other
    // threads have already been ended.
    if (reason == DLL_PROCESS_DETACH) orvexLoaderDetaching(reserved != nullptr);
    return TRUE;
}

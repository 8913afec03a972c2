// Entry point of orvexLuaEngine.dll. Attaching only turns off the thread
// attach and detach notifications: the engine builds everything on first
// use, and the loader lock held here forbids anything more.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}

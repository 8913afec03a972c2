// Per-platform pieces of CThreadUtil (platform/*/ThreadUtil.cpp).
#pragma once

namespace pyn {

// Marks the module holding this code (the library) as never to be unloaded,
// once per process: a thread it started may outlive an unload request, and
// its code must stay mapped under it.
void PinOwnModule();

}  // namespace pyn

// The global operator new of the C++-heap failure tests: on the thread that
// armed it, it counts the allocations made while a script function's body
// runs (see orvex::SetScriptBodyObserverForTesting) and fails the Nth of them
// (std::bad_alloc, or null for the nothrow forms). Linked only into the
// executable of those tests: it replaces operator new for the whole program.
#pragma once

#include <cstddef>

namespace failnew {

enum class Mode { kOnlyNth, kFromNth };

// Starts counting on the calling thread; `nth` 0 only counts.
void Arm(size_t nth, Mode mode);
// Stops; the number of allocations counted since Arm.
size_t Disarm();

}  // namespace failnew

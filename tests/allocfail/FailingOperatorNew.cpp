#include "FailingOperatorNew.h"

#include <cstdlib>
#include <new>

#include "ScriptBinding.h"

namespace failnew {
namespace {

// Plain thread-local values: reading them allocates nothing.
thread_local bool t_armed = false;
thread_local int t_bodyDepth = 0;
thread_local size_t t_count = 0;
thread_local size_t t_failAt = 0;
thread_local Mode t_mode = Mode::kOnlyNth;

void ObserveBody(bool entering) { t_bodyDepth += entering ? 1 : -1; }

// Installs the observer before main runs.
const bool kObserving = (orvex::SetScriptBodyObserverForTesting(&ObserveBody), true);

bool FailsNow() {
    if (!t_armed || t_bodyDepth <= 0) return false;
    const size_t n = ++t_count;
    return t_failAt != 0 && (n == t_failAt || (t_mode == Mode::kFromNth && n > t_failAt));
}

void* Allocate(size_t size, bool nothrow) {
    void* p = FailsNow() ? nullptr : std::malloc(size ? size : 1);
    if (!p && !nothrow) throw std::bad_alloc();
    return p;
}

void* AllocateAligned(size_t size, std::align_val_t alignment, bool nothrow) {
    void* p = nullptr;
    if (!FailsNow()) {
        size_t align = static_cast<size_t>(alignment);
        if (align < sizeof(void*)) align = sizeof(void*);
        if (posix_memalign(&p, align, size ? size : 1) != 0) p = nullptr;
    }
    if (!p && !nothrow) throw std::bad_alloc();
    return p;
}

}  // namespace

void Arm(size_t nth, Mode mode) {
    (void)kObserving;
    t_count = 0;
    t_failAt = nth;
    t_mode = mode;
    t_armed = true;
}

size_t Disarm() {
    t_armed = false;
    return t_count;
}

}  // namespace failnew

void* operator new(size_t size) { return failnew::Allocate(size, false); }
void* operator new[](size_t size) { return failnew::Allocate(size, false); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return failnew::Allocate(size, true); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return failnew::Allocate(size, true); }
void* operator new(size_t size, std::align_val_t a) { return failnew::AllocateAligned(size, a, false); }
void* operator new[](size_t size, std::align_val_t a) { return failnew::AllocateAligned(size, a, false); }
void* operator new(size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return failnew::AllocateAligned(size, a, true);
}
void* operator new[](size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return failnew::AllocateAligned(size, a, true);
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

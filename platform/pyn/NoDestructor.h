// A process-wide object that is built on first use and never destroyed.
//
// Everything a script function can reach (the HTTP client, the plug-in
// cache, the logger, the host settings, ...) lives in one of these: a Lua
// state closed at process exit or library unload runs the finalizers of its
// scripts, and those may call any script function, so nothing they reach
// may be torn down before every state is closed. Being trivially
// destructible, a function-local `static NoDestructor<T>` registers nothing
// to run at exit; the process's end reclaims it.
#pragma once

#include <new>
#include <utility>

namespace pyn {

template <class T>
class NoDestructor {
public:
    template <class... Args>
    explicit NoDestructor(Args&&... args) {
        new (m_storage) T(std::forward<Args>(args)...);
    }
    NoDestructor(const NoDestructor&) = delete;
    NoDestructor& operator=(const NoDestructor&) = delete;

    T* get() { return std::launder(reinterpret_cast<T*>(m_storage)); }
    const T* get() const { return std::launder(reinterpret_cast<const T*>(m_storage)); }
    T& operator*() { return *get(); }
    const T& operator*() const { return *get(); }
    T* operator->() { return get(); }
    const T* operator->() const { return get(); }

private:
    alignas(T) unsigned char m_storage[sizeof(T)];
};

}  // namespace pyn

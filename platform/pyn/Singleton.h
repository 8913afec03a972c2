// Access to process-wide components.
//
// CSingleton<T>::GetInstance() returns what was installed with
// SetInstance(T*), or null; the library never owns or deletes the object.
//
// The library is built with hidden symbols, so a host binary that used this
// template directly would get a slot of its own. Component types that hosts
// install therefore declare explicit specialisations of both accessors in
// their own header, marked ORVEX_API and defined once inside the library
// (see ORVEX_EXPORTED_SINGLETON below). Types the library provides itself
// (the HTTP client) specialise GetInstance to return their own instance.
#pragma once

#include <atomic>

namespace pyn {

template <class T>
class CSingleton {
public:
    static T* GetInstance() { return Slot().load(std::memory_order_acquire); }
    static void SetInstance(T* instance) { Slot().store(instance, std::memory_order_release); }

private:
    static std::atomic<T*>& Slot() {
        static std::atomic<T*> slot{nullptr};
        return slot;
    }
};

}  // namespace pyn

// In a component header: declares the exported accessors of CSingleton<T>.
#define ORVEX_DECLARE_EXPORTED_SINGLETON(T)                              \
    template <>                                                          \
    ORVEX_API T* pyn::CSingleton<T>::GetInstance();                      \
    template <>                                                          \
    ORVEX_API void pyn::CSingleton<T>::SetInstance(T* instance);

// In one library source: defines them over a process-wide slot.
#define ORVEX_DEFINE_EXPORTED_SINGLETON(T)                               \
    namespace {                                                          \
    std::atomic<T*>& SingletonSlotOf##T() {                              \
        static std::atomic<T*> slot{nullptr};                            \
        return slot;                                                     \
    }                                                                    \
    }                                                                    \
    template <>                                                          \
    ORVEX_API T* pyn::CSingleton<T>::GetInstance() {                     \
        return SingletonSlotOf##T().load(std::memory_order_acquire);     \
    }                                                                    \
    template <>                                                          \
    ORVEX_API void pyn::CSingleton<T>::SetInstance(T* instance) {        \
        SingletonSlotOf##T().store(instance, std::memory_order_release); \
    }

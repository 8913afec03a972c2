#include "data/LoadLibraryCache.h"
#include "pyn/NoDestructor.h"

#include "ScriptBinding.h"

#include <cstdint>
#include <cstring>

namespace orvex {
namespace {

// The function shape a module exports for CallModuleFuncWithParam.
extern "C" {
typedef char* (*ModuleFunction)(const char* text, uint32_t length);
}

}  // namespace

// The loader reads a path or function name only up to a zero byte: "a.so\0x"
// would load a.so under a second key, and "Echo\0x" would call Echo.
bool CLoadLibraryCache::OpenModule(const std::string& path) {
    if (path.empty() || HasZeroByte(path)) return false;
    pyn::CMutexLockUtil guard(m_mutex);
    auto it = m_entries.find(path);
    if (it != m_entries.end()) {
        pyn::CLibLoader* loader = it->second.loader;
        return loader->isload() || loader->load();
    }
    auto* loader = new pyn::CLibLoader(path.c_str());
    if (!loader->load()) {
        delete loader;
        return false;
    }
    try {
        m_entries.emplace(path, Entry{loader, 0});
    } catch (...) {
        delete loader;
        throw;
    }
    return true;
}

bool CLoadLibraryCache::ReleaseModule(const std::string& path) {
    if (path.empty()) return false;
    pyn::CMutexLockUtil guard(m_mutex);
    auto it = m_entries.find(path);
    if (it == m_entries.end()) return false;
    if (it->second.calls != 0) return false;
    if (!it->second.loader->unload()) return false;
    delete it->second.loader;
    m_entries.erase(it);
    return true;
}

bool CLoadLibraryCache::HasModule(const std::string& path) {
    if (path.empty()) return false;
    pyn::CMutexLockUtil guard(m_mutex);
    return m_entries.count(path) != 0;
}

std::string CLoadLibraryCache::InvokeModuleFunc(const std::string& path, const std::string& function,
                                                const std::string& param) {
    if (path.empty() || function.empty() || param.empty() || HasZeroByte(function)) return std::string();
    ModuleFunction call = nullptr;
    Entry* entry = nullptr;
    {
        pyn::CMutexLockUtil guard(m_mutex);
        auto it = m_entries.find(path);
        if (it == m_entries.end()) return std::string();
        call = reinterpret_cast<ModuleFunction>(it->second.loader->resolve(function.c_str()));
        if (!call) return std::string();
        entry = &it->second;
        ++entry->calls;
    }
    // The entry stays (and its module stays mapped) until the count drops:
    // ReleaseModule refuses while it is not zero. The result text belongs to
    // the module, so it is copied before the count drops.
    struct Release {
        CLoadLibraryCache& cache;
        Entry& entry;
        ~Release() {
            pyn::CMutexLockUtil guard(cache.m_mutex);
            --entry.calls;
        }
    } release{*this, *entry};
    const char* result = call(param.c_str(), static_cast<uint32_t>(param.size()));
    return result ? std::string(result, std::strlen(result)) : std::string();
}

}  // namespace orvex

template <>
orvex::CLoadLibraryCache* pyn::CSingleton<orvex::CLoadLibraryCache>::GetInstance() {
    // Never destroyed: finalizers of states closed at exit may still use it.
    static pyn::NoDestructor<orvex::CLoadLibraryCache> cache;
    return cache.get();
}

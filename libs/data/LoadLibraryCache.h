// The process-wide cache of native modules that scripts load through
// orvexLibrary, keyed by the module path exactly as the script gave it (in
// the local code page, compared byte by byte).
//
// Every operation holds the cache's mutex, so scripts on any number of
// threads may load, call, query and close modules at once. A module function
// runs outside the mutex; while a call is inside a module, its entry cannot
// be closed (ReleaseModule gives false and the module stays loaded), so a
// module's code is never unmapped under a running call.
#pragma once

#include <map>
#include <string>

#include "pyn/LibLoader.h"
#include "pyn/MutexUtil.h"
#include "pyn/Singleton.h"

namespace orvex {

class CLoadLibraryCache : public pyn::CSingleton<CLoadLibraryCache> {
public:
    CLoadLibraryCache() = default;
    // Frees the map only: modules still loaded stay loaded, as their code may
    // still be running on a thread that outlives the cache.
    virtual ~CLoadLibraryCache() = default;
    CLoadLibraryCache(const CLoadLibraryCache&) = delete;
    CLoadLibraryCache& operator=(const CLoadLibraryCache&) = delete;

    // Loads the module at `path` (or reloads an entry whose module is no
    // longer loaded); true when it is loaded. A module that fails to load
    // leaves no entry.
    bool OpenModule(const std::string& path);
    // Unloads the module and forgets its entry; false when there is no entry,
    // a call is running inside the module, or unloading fails.
    bool ReleaseModule(const std::string& path);
    // Whether `path` has an entry.
    bool HasModule(const std::string& path);
    // Calls the module's exported `char* function(const char* text, uint32_t
    // length)` with `param`; gives its text up to the first NUL, or "" for
    // an empty argument, an unknown path or function, or a null result.
    std::string InvokeModuleFunc(const std::string& path, const std::string& function, const std::string& param);

private:
    struct Entry {
        pyn::CLibLoader* loader;
        unsigned calls;  // calls running inside the module now
    };
    pyn::CMutexUtil m_mutex;
    std::map<std::string, Entry> m_entries;
};

}  // namespace orvex

// The cache is the library's own: it is created on first use and always exists.
template <>
orvex::CLoadLibraryCache* pyn::CSingleton<orvex::CLoadLibraryCache>::GetInstance();

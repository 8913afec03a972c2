// Native modules on POSIX: dlopen / dlsym / dlclose.
#include "pyn/LibLoader.h"

#include <dlfcn.h>

namespace pyn {

CLibLoader::CLibLoader(const char* path) : m_path(path ? path : "") {}

CLibLoader::~CLibLoader() { unload(); }

bool CLibLoader::load() {
    if (m_handle) return true;
    if (m_path.empty()) return false;
    // Symbols stay local to the module, so two modules exporting the same
    // name never resolve into each other.
    m_handle = dlopen(m_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    return m_handle != nullptr;
}

bool CLibLoader::isload() const { return m_handle != nullptr; }

void* CLibLoader::resolve(const char* name) const {
    if (!m_handle || !name) return nullptr;
    return dlsym(m_handle, name);
}

bool CLibLoader::unload() {
    if (!m_handle) return false;
    if (dlclose(m_handle) != 0) return false;
    m_handle = nullptr;
    return true;
}

}  // namespace pyn

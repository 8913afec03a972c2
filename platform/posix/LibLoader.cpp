// Native modules on POSIX: dlopen / dlsym / dlclose.
#include "pyn/LibLoader.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include "SafeFs.h"

namespace pyn {
namespace {

// True when `address`, which dlsym found for `module`, is a function that
// the module itself defines: dlsym also searches the module's dependencies
// (libc's free or system would be found through any module), and a data
// symbol's address is not code to call.
bool IsOwnFunction(void* module, void* address) {
    struct link_map* own = nullptr;
    if (dlinfo(module, RTLD_DI_LINKMAP, &own) != 0 || !own) return false;
    Dl_info info;
    struct link_map* where = nullptr;
    if (dladdr1(address, &info, reinterpret_cast<void**>(&where), RTLD_DL_LINKMAP) == 0 || where != own)
        return false;
    ElfW(Sym)* symbol = nullptr;
    if (dladdr1(address, &info, reinterpret_cast<void**>(&symbol), RTLD_DL_SYMENT) == 0 || !symbol ||
        info.dli_saddr != address)
        return false;
#if __ELF_NATIVE_CLASS == 64
    const unsigned type = ELF64_ST_TYPE(symbol->st_info);
#else
    const unsigned type = ELF32_ST_TYPE(symbol->st_info);
#endif
    return type == STT_FUNC && symbol->st_shndx != SHN_UNDEF;
}

}  // namespace

CLibLoader::CLibLoader(const char* path) : m_path(path ? path : "") {}

CLibLoader::~CLibLoader() { unload(); }

bool CLibLoader::load() {
    if (m_handle) return true;
    if (m_path.empty()) return false;
    // The loader opens and reads a file path as it finds it: a pipe or a
    // file such as /proc/kmsg would hold it (and the module cache's lock)
    // for good, and a device would be read. A name without a '/' is looked
    // up in the system's library directories.
    if (m_path.find('/') != std::string::npos && !posix::ReadsWithoutWaiting(m_path)) return false;
    // Symbols stay local to the module, so two modules exporting the same
    // name never resolve into each other.
    m_handle = dlopen(m_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    return m_handle != nullptr;
}

bool CLibLoader::isload() const { return m_handle != nullptr; }

void* CLibLoader::resolve(const char* name) const {
    if (!m_handle || !name || !*name) return nullptr;
    void* address = dlsym(m_handle, name);
    return address && IsOwnFunction(m_handle, address) ? address : nullptr;
}

bool CLibLoader::unload() {
    if (!m_handle) return false;
    if (dlclose(m_handle) != 0) return false;
    m_handle = nullptr;
    return true;
}

}  // namespace pyn

// Native modules on Windows: LoadLibraryExW / GetProcAddress / FreeLibrary.
#include "pyn/LibLoader.h"

#include <windows.h>

#include "WinText.h"

namespace pyn {

CLibLoader::CLibLoader(const char* path) : m_path(path ? path : "") {}

CLibLoader::~CLibLoader() { unload(); }

bool CLibLoader::load() {
    if (m_handle) return true;
    if (m_path.empty()) return false;
    std::wstring path = win32::LocalToWide(m_path);
    // A module given with a directory finds the DLLs it needs beside itself
    // first (as the POSIX loader's $ORIGIN would); the flag is only valid for
    // such paths.
    DWORD flags = path.find_first_of(L"\\/") != std::wstring::npos ? LOAD_WITH_ALTERED_SEARCH_PATH : 0;
    // A missing or broken module fails the call: no message box on the
    // agent's desktop.
    DWORD oldMode = 0;
    BOOL modeSet = SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &oldMode);
    m_handle = LoadLibraryExW(path.c_str(), nullptr, flags);
    if (modeSet) SetThreadErrorMode(oldMode, nullptr);
    return m_handle != nullptr;
}

bool CLibLoader::isload() const { return m_handle != nullptr; }

void* CLibLoader::resolve(const char* name) const {
    if (!m_handle || !name || !*name) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(m_handle), name));
}

bool CLibLoader::unload() {
    if (!m_handle) return false;
    if (!FreeLibrary(static_cast<HMODULE>(m_handle))) return false;
    m_handle = nullptr;
    return true;
}

}  // namespace pyn

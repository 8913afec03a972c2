// Native modules on Windows: LoadLibraryExW / GetProcAddress / FreeLibrary.
#include "pyn/LibLoader.h"

#include <windows.h>

#include <cstdint>

#include "WinFs.h"
#include "WinText.h"

namespace pyn {
namespace {

// True when `address`, which GetProcAddress gave for `module`, lies in an
// executable section of the module's own image: a forwarded export leads
// into another module, and a data export is not code to call.
bool IsOwnFunction(HMODULE module, const void* address) {
    const auto* base = reinterpret_cast<const unsigned char*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) return false;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE) return false;
    const auto at = reinterpret_cast<uintptr_t>(address);
    const auto start = reinterpret_cast<uintptr_t>(base);
    if (at < start || at - start >= nt->OptionalHeader.SizeOfImage) return false;
    const DWORD rva = static_cast<DWORD>(at - start);
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        DWORD size = section->Misc.VirtualSize > section->SizeOfRawData ? section->Misc.VirtualSize
                                                                         : section->SizeOfRawData;
        if (rva >= section->VirtualAddress && rva - section->VirtualAddress < size)
            return (section->Characteristics & IMAGE_SCN_MEM_EXECUTE) != 0;
    }
    return false;
}

}  // namespace

CLibLoader::CLibLoader(const char* path) : m_path(path ? path : "") {}

CLibLoader::~CLibLoader() { unload(); }

bool CLibLoader::load() {
    if (m_handle) return true;
    if (m_path.empty()) return false;
    std::wstring path = win32::LocalToWide(m_path);
    const bool withDirectory = path.find_first_of(L"\\/") != std::wstring::npos;
    // The loader opens and reads a path as it finds it: a pipe (a Linux
    // pipe under Wine) would hold it, and the module cache's lock, for good.
    // A bare name is looked up in the system's search path.
    if (withDirectory && !win32::ReadsWithoutWaiting(path)) return false;
    // A module given with a directory finds the DLLs it needs beside itself
    // first (as the POSIX loader's $ORIGIN would); the flag is only valid for
    // such paths.
    DWORD flags = withDirectory ? LOAD_WITH_ALTERED_SEARCH_PATH : 0;
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
    HMODULE module = static_cast<HMODULE>(m_handle);
    void* address = reinterpret_cast<void*>(GetProcAddress(module, name));
    return address && IsOwnFunction(module, address) ? address : nullptr;
}

bool CLibLoader::unload() {
    if (!m_handle) return false;
    if (!FreeLibrary(static_cast<HMODULE>(m_handle))) return false;
    m_handle = nullptr;
    return true;
}

}  // namespace pyn

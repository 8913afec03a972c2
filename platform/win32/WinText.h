// Conversions between the local code page, UTF-8 and UTF-16 for the Windows
// implementation of the pyn layer (wide-character API calls take UTF-16).
#pragma once

#include <windows.h>

#include <string>

namespace pyn {
namespace win32 {

// The code page local text is in: the host's choice (orvexSetLocalCodePage)
// or the ANSI code page.
UINT LocalCodePageId();

// Decodes `size` bytes in code page `cp`; bytes that are not valid there
// become '?'.
std::wstring ToWide(UINT cp, const char* data, size_t size);
// Encodes in code page `cp`; characters it cannot hold become '?'.
std::string FromWide(UINT cp, const wchar_t* data, size_t size);

inline std::wstring LocalToWide(const std::string& local) {
    return ToWide(LocalCodePageId(), local.data(), local.size());
}
inline std::string WideToLocal(const std::wstring& wide) {
    return FromWide(LocalCodePageId(), wide.data(), wide.size());
}

}  // namespace win32
}  // namespace pyn

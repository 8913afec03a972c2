// CFileInfo's path arithmetic on Windows: "\" and "/" both separate, and
// the work is done on UTF-16 so that a "\" byte inside a double-byte
// character of the local code page is never taken for one.
#include <windows.h>

#include "WinFs.h"
#include "WinText.h"
#include "pyn/FileInfo.h"

namespace pyn {

// GetFullPathNameW folds "." and ".." lexically against the current
// directory (of the path's drive) and never resolves links. Separators come
// back as "\"; a drive root keeps its own ("C:\").
std::string CFileInfo::absoluteFilePath() const {
    if (m_path.empty()) return std::string();
    const std::wstring wide = win32::LocalToWide(m_path);
    DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (n == 0) return std::string();
    std::wstring full(n, L'\0');
    wchar_t* namePart = nullptr;
    n = GetFullPathNameW(wide.c_str(), n, &full[0], &namePart);
    if (n == 0 || n >= full.size()) return std::string();
    full.resize(n);
    // Folded doubled separators, and no trailing one unless it is a root's.
    std::wstring out;
    out.reserve(full.size());
    for (size_t i = 0; i < full.size(); ++i) {
        if (i > 1 && full[i] == L'\\' && out.back() == L'\\') continue;
        out += full[i];
    }
    while (out.size() > 3 && out.back() == L'\\') out.pop_back();
    return win32::WideToLocal(out);
}

std::string CFileInfo::fileName() const {
    const std::wstring wide = win32::LocalToWide(m_path);
    size_t slash = wide.find_last_of(L"\\/");
    if (slash == std::wstring::npos) {
        // "C:name" is a name on drive C.
        if (wide.size() >= 2 && wide[1] == L':') return win32::WideToLocal(wide.substr(2));
        return m_path;
    }
    return win32::WideToLocal(wide.substr(slash + 1));
}

}  // namespace pyn

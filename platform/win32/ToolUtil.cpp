#include <windows.h>

#include "WinText.h"
#include "pyn/HostSettings.h"
#include "pyn/RunBudget.h"
#include "pyn/NoDestructor.h"
#include "pyn/ToolUtil.h"

namespace pyn {

std::string CToolUtil::GetApplicationDirPath() {
    std::string dir = CHostSettings::ApplicationDirOverride();
    if (!dir.empty()) return dir;
    // Converted on every call: the result is in the current local code page.
    static const NoDestructor<std::wstring> exeDir([] {
        std::wstring path(MAX_PATH, L'\0');
        for (;;) {
            DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
            if (n == 0) return std::wstring(L".");
            if (n < path.size()) {
                path.resize(n);
                break;
            }
            path.resize(path.size() * 2);  // truncated
        }
        size_t slash = path.find_last_of(L"\\/");
        if (slash == std::wstring::npos) return std::wstring(L".");
        // Keep the separator of a drive root ("C:\").
        return path.substr(0, slash == 2 && path[1] == L':' ? 3 : slash);
    }());
    return win32::WideToLocal(*exeDir);
}

bool CToolUtil::IsX64System() {
    SYSTEM_INFO info;
    GetNativeSystemInfo(&info);
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
           info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_IA64 ||
           info.wProcessorArchitecture == 12;  // PROCESSOR_ARCHITECTURE_ARM64
}

// Within a script run, the sleep ends early at the run's deadline or on a
// stop (CRunBudget).
void CToolUtil::msleep(int64_t milliseconds) {
    if (milliseconds <= 0) return;
    CRunBudget::SleepFor(milliseconds);
}

}  // namespace pyn

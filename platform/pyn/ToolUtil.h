// Process-level tools of the pyn utility layer.
#pragma once

#include <cstdint>
#include <string>

namespace pyn {

class CToolUtil {
public:
    // Directory of the running executable (or the directory the host set with
    // orvexSetApplicationDir), without a trailing separator.
    static std::string GetApplicationDirPath();
    // True when the operating system is 64-bit (whatever this build is).
    static bool IsX64System();
    // Sleeps `milliseconds`; a negative count sleeps 0 ms.
    static void msleep(int64_t milliseconds);
};

}  // namespace pyn

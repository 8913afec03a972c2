// Process-level tools of the pyn utility layer.
#pragma once

#include <string>

namespace pyn {

class CToolUtil {
public:
    // Directory of the running executable (or the directory the host set with
    // orvexSetApplicationDir), without a trailing separator.
    static std::string GetApplicationDirPath();
};

}  // namespace pyn

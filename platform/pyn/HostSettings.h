// Process-wide settings the host may override (see engine/OrvexHost.h).
#pragma once

#include <string>

namespace pyn {

class CHostSettings {
public:
    static void SetApplicationDir(const std::string& dir);
    // The host's application directory, or empty when none was set.
    static std::string ApplicationDirOverride();

    static void SetLocalCodePage(const std::string& name);
    // The host's code page name, or empty when none was set.
    static std::string LocalCodePageOverride();
    // Changes whenever the code page setting changes.
    static unsigned CodePageGeneration();
};

}  // namespace pyn

// Process-wide settings the host may override (see engine/OrvexHost.h).
#pragma once

#include <cstddef>
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

    // Most bytes a command's output or an HTTP body read into memory may
    // have; past it the call fails and the command or transfer is ended.
    static constexpr size_t kDefaultReadLimit = size_t(64) << 20;
    // 0 restores the default.
    static void SetReadLimit(size_t bytes);
    static size_t ReadLimit();
};

}  // namespace pyn

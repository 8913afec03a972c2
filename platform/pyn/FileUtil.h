// File operations of the pyn utility layer. Paths are local-code-page texts.
#pragma once

#include <cstdint>
#include <string>

#include "StringUtil.h"

namespace pyn {

class CFileUtil {
public:
    // True when `path` names a regular file (after following links).
    static bool IsFile(const std::string& path);
    // Reads the whole file into `out`. With `maxBytes` set, reads at most that
    // many bytes (a longer file gives exactly `maxBytes` bytes). On failure
    // `out` is empty and the result false.
    static bool ReadFullFile(const std::string& path, std::string& out,
                             size_t maxBytes = static_cast<size_t>(-1));
};

}  // namespace pyn

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
    // Replaces the file's contents with `bytes` atomically: the bytes go to
    // a temporary file in the same directory, which is flushed to disk and
    // then renamed over `path`. Readers see the old or the new file, never a
    // part; on failure the old file is untouched and no temporary is left.
    // A replaced file keeps its permission bits; a new one gets 0666 & ~umask.
    static bool ReplaceFileAtomically(const std::string& path, const std::string& bytes);
};

}  // namespace pyn

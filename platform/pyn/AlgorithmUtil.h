// Digests, encodings and ciphers of the pyn utility layer.
#pragma once

#include <string>

#include "StringUtil.h"

namespace pyn {

class CAlgorithmUtil {
public:
    // Standard Base64 alphabet with padding, no line breaks.
    static std::string toBase64(const std::string& bytes);
    // Decodes Base64 text; white space (space, tab, CR, LF) is skipped. Text
    // that is not valid Base64 gives the empty string.
    static std::string fromBase64(const std::string& text);
};

}  // namespace pyn

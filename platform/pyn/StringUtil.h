// Text and byte-buffer helpers of the pyn utility layer.
//
// "Local" text is in the host's local code page: on Windows the ANSI code
// page, elsewhere the codeset named by LC_ALL, LC_CTYPE or LANG (first one
// set), or the one the host installed with orvexSetLocalCodePage. A UTF-8
// local code page makes both conversions the identity. Characters the target
// cannot hold, and bytes that are not valid in the source encoding, become '?'.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pyn {

using ByteVector = std::vector<signed char>;

class CStringUtil {
public:
    // UTF-8 to the local code page.
    static std::string utf8_s2s(const std::string& utf8);
    static std::string utf8_s2s(const char* data, size_t size);
    // Local code page to UTF-8.
    static std::string s2s_utf8(const std::string& local);
    static std::string s2s_utf8(const char* data, size_t size);

    static ByteVector str2vec(const std::string& s);
    static ByteVector str2vec(const char* data, size_t size);
    static std::string vec2str(const ByteVector& v);

    // Text of `value` in `base` (2..36, lowercase digits, '-' for negatives);
    // `ok` is false and the result empty for an unsupported base.
    static std::string IntToString(int64_t value, bool* ok = nullptr, int base = 10);

    // `s` without leading and trailing white space (space, \t, \n, \v, \f, \r).
    static std::string stringTrimmed(const std::string& s);
    // True when `needle` occurs in `haystack` (byte-wise; "" occurs everywhere).
    static bool stringContains(const std::string& haystack, const std::string& needle);

    // Name of the code page currently used for local text (e.g. "UTF-8", "GBK").
    static std::string LocalCodePage();
    // True when local text is UTF-8 (the conversions are the identity).
    static bool LocalIsUtf8();
};

}  // namespace pyn

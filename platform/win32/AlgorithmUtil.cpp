// Base64 through the CryptoAPI (crypt32). Decoding accepts exactly what the
// OpenSSL-based POSIX build accepts, so both builds read the same texts.
#include <windows.h>
#include <wincrypt.h>

#include "pyn/AlgorithmUtil.h"

namespace pyn {
namespace {

bool IsBase64Char(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// The Base64 characters of `text` without white space, or false when the text
// is not valid: another character, more data after the padding, more than
// two '=', or a length that is no multiple of four. A '-' ends the text.
bool CleanBase64(const std::string& text, std::string& clean) {
    clean.clear();
    clean.reserve(text.size());
    int padding = 0;
    for (unsigned char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        if (c == '-') break;
        if (c == '=') {
            if (++padding > 2) return false;
        } else if (!IsBase64Char(c) || padding > 0) {
            return false;
        }
        clean.push_back(static_cast<char>(c));
    }
    if (clean.size() % 4 != 0) return false;
    // "====" style groups hold no data: at most two '=' in the last group.
    return padding == 0 || clean.size() >= 4;
}

}  // namespace

std::string CAlgorithmUtil::toBase64(const std::string& bytes) {
    if (bytes.empty()) return std::string();
    const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    const BYTE* data = reinterpret_cast<const BYTE*>(bytes.data());
    DWORD size = 0;
    if (bytes.size() > 0x3FFFFFFF || !CryptBinaryToStringA(data, static_cast<DWORD>(bytes.size()), flags, nullptr, &size))
        return std::string();
    std::string out(size, '\0');
    if (!CryptBinaryToStringA(data, static_cast<DWORD>(bytes.size()), flags, &out[0], &size)) return std::string();
    out.resize(size);
    // Systems that ignore CRYPT_STRING_NOCRLF still break lines.
    std::string::size_type keep = 0;
    for (char c : out)
        if (c != '\r' && c != '\n' && c != '\0') out[keep++] = c;
    out.resize(keep);
    return out;
}

std::string CAlgorithmUtil::fromBase64(const std::string& text) {
    std::string clean;
    if (!CleanBase64(text, clean) || clean.empty()) return std::string();
    DWORD size = 0;
    if (!CryptStringToBinaryA(clean.data(), static_cast<DWORD>(clean.size()), CRYPT_STRING_BASE64, nullptr, &size,
                              nullptr, nullptr))
        return std::string();
    std::string out(size, '\0');
    if (size && !CryptStringToBinaryA(clean.data(), static_cast<DWORD>(clean.size()), CRYPT_STRING_BASE64,
                                      reinterpret_cast<BYTE*>(&out[0]), &size, nullptr, nullptr))
        return std::string();
    out.resize(size);
    return out;
}

}  // namespace pyn

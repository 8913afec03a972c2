// Platform-independent parts of CStringUtil.
#include <algorithm>

#include "pyn/StringUtil.h"

namespace pyn {

ByteVector CStringUtil::str2vec(const std::string& s) { return str2vec(s.data(), s.size()); }

ByteVector CStringUtil::str2vec(const char* data, size_t size) {
    const signed char* p = reinterpret_cast<const signed char*>(data);
    return ByteVector(p, p + size);
}

std::string CStringUtil::vec2str(const ByteVector& v) {
    return std::string(reinterpret_cast<const char*>(v.data()), v.size());
}

std::string CStringUtil::IntToString(int64_t value, bool* ok, int base) {
    if (base < 2 || base > 36) {
        if (ok) *ok = false;
        return std::string();
    }
    static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    // Work on the magnitude as unsigned so INT64_MIN needs no special case.
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    char buf[72];
    size_t pos = sizeof buf;
    do {
        buf[--pos] = kDigits[magnitude % static_cast<uint64_t>(base)];
        magnitude /= static_cast<uint64_t>(base);
    } while (magnitude != 0);
    if (value < 0) buf[--pos] = '-';
    if (ok) *ok = true;
    return std::string(buf + pos, sizeof buf - pos);
}

static bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string CStringUtil::stringTrimmed(const std::string& s) {
    size_t begin = 0, end = s.size();
    while (begin < end && IsSpace(s[begin])) ++begin;
    while (end > begin && IsSpace(s[end - 1])) --end;
    return s.substr(begin, end - begin);
}

bool CStringUtil::stringContains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

}  // namespace pyn

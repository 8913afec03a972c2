// CTimeUtil's local-time text on Windows, through the C runtime (the same
// local time zone as Lua's os.date).
#include <time.h>

#include <cstring>

#include "pyn/TimeUtil.h"

namespace pyn {
namespace {

// The runtime's strftime ends the process on a conversion it does not know
// (through the invalid-parameter handler); such a format gives "" here.
bool IsSafeFormat(const std::string& format) {
    static const char kKnown[] = "aAbBcdHIjmMpSUwWxXyYzZ%";
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') continue;
        if (++i < format.size() && format[i] == '#') ++i;
        if (i >= format.size() || format[i] == '\0' || !std::strchr(kKnown, format[i])) return false;
    }
    return true;
}

}  // namespace

std::string CTimeUtil::ToString(const std::string& format) const {
    if (m_null || format.empty() || !IsSafeFormat(format)) return std::string();
    __time64_t t = static_cast<__time64_t>(m_seconds);
    struct tm local;
    if (_localtime64_s(&local, &t) != 0) return std::string();
    char buf[256];
    size_t n = strftime(buf, sizeof buf, format.c_str(), &local);
    return std::string(buf, n);
}

}  // namespace pyn

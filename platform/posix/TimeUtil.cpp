#include "pyn/TimeUtil.h"

#include <time.h>

namespace pyn {

std::string CTimeUtil::ToString(const std::string& format) const {
    if (m_null || format.empty()) return std::string();
    time_t t = static_cast<time_t>(m_seconds);
    struct tm local;
    if (!localtime_r(&t, &local)) return std::string();
    char buf[256];
    size_t n = strftime(buf, sizeof buf, format.c_str(), &local);
    return std::string(buf, n);
}

}  // namespace pyn

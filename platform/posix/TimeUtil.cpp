#include "pyn/TimeUtil.h"

#include <time.h>

namespace pyn {

CTimeUtil::CTimeUtil(int64_t seconds, int32_t nanoseconds)
    : m_null(false), m_seconds(seconds), m_nanoseconds(nanoseconds) {}

CTimeUtil CTimeUtil::Now() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return CTimeUtil(ts.tv_sec, static_cast<int32_t>(ts.tv_nsec));
}

int64_t CTimeUtil::MSecsSinceEpoch() const { return m_seconds * 1000 + m_nanoseconds / 1000000; }

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

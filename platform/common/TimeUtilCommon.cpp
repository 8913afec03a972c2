// CTimeUtil apart from its local-time formatting (platform/*/TimeUtil.cpp).
#include <chrono>

#include "pyn/TimeUtil.h"

namespace pyn {

CTimeUtil::CTimeUtil(int64_t seconds, int32_t nanoseconds)
    : m_null(false), m_seconds(seconds), m_nanoseconds(nanoseconds) {}

CTimeUtil CTimeUtil::Now() {
    using namespace std::chrono;
    const nanoseconds since = duration_cast<nanoseconds>(system_clock::now().time_since_epoch());
    const seconds whole = floor<seconds>(since);
    return CTimeUtil(whole.count(), static_cast<int32_t>((since - whole).count()));
}

int64_t CTimeUtil::MSecsSinceEpoch() const { return m_seconds * 1000 + m_nanoseconds / 1000000; }

}  // namespace pyn

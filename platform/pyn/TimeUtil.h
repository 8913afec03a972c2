// A point in time of the pyn utility layer, or the null time.
#pragma once

#include <cstdint>
#include <string>

namespace pyn {

class CTimeUtil {
public:
    // The null time.
    CTimeUtil() = default;
    // Seconds and nanoseconds since 1970-01-01 00:00:00 UTC.
    CTimeUtil(int64_t seconds, int32_t nanoseconds);

    static CTimeUtil Now();

    bool IsNullTime() const { return m_null; }
    int64_t Seconds() const { return m_seconds; }
    int32_t Nanoseconds() const { return m_nanoseconds; }
    int64_t MSecsSinceEpoch() const;

    // The time in the local time zone, formatted with strftime's `format`
    // ("%Y-%m-%d %H:%M:%S"); "" for the null time or a format that gives
    // nothing.
    std::string ToString(const std::string& format) const;

private:
    bool m_null = true;
    int64_t m_seconds = 0;
    int32_t m_nanoseconds = 0;
};

}  // namespace pyn

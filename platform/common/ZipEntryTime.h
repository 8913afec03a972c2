// The time stamp of a zip entry, shared by both platforms' archive writers
// (internal).
#pragma once

#include <zip.h>

namespace pyn {
namespace detail {

// Entry times run from 1980 to 2107 (a 7-bit year from 1980): a time outside
// is stored as the nearest end, not as a date of month 15 and hour 31.
inline void ClampToZipTimes(tm_zip& t) {
    if (t.tm_year >= 1980 && t.tm_year <= 2107) return;
    t = t.tm_year < 1980 ? tm_zip{0, 0, 0, 1, 0, 1980} : tm_zip{58, 59, 23, 31, 11, 2107};
}

}  // namespace detail
}  // namespace pyn

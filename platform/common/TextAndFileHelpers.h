// Helpers that the platform implementations of pyn share (internal).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "pyn/HostSettings.h"

namespace pyn {
namespace detail {

// True when `text` holds a zero byte: the system reads a path, program,
// argument or SQL text only up to it, so it would act on another text.
inline bool HasZeroByte(const std::string& text) { return text.find('\0') != std::string::npos; }

// True when `path` can name a file (or a URL a resource, a name a host): not
// empty and without a zero byte.
inline bool IsPathText(const std::string& path) { return !path.empty() && !HasZeroByte(path); }

// Whether `name` names nothing (links followed) or a regular file whose
// reading starts without waiting, by the platform's open rule (posix/SafeFs,
// win32/WinFs): false for a directory, pipe, socket or device, and for a
// file whose first read would wait. `name` is in the form libraries that
// open files themselves take (SQLite): the file system's bytes on POSIX,
// UTF-8 on Windows.
bool IsRegularFileOrNothing(const std::string& name);

// The most bytes a body read into memory may have: `maxBytes` when the
// caller gives one (above 0), never more than the host's read limit.
inline int64_t InMemoryLimit(int64_t maxBytes) {
    const size_t cap = CHostSettings::ReadLimit();
    const int64_t limit = cap > static_cast<size_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(cap);
    return maxBytes > 0 && maxBytes < limit ? maxBytes : limit;
}

// The Base64 text to decode in `text`: `text` itself, or, when it holds
// white space (space, tab, CR, LF), a copy without it in `scratch`. Null when
// the text is not Base64: another character, data after the padding, more
// than two '=', or a length that is no multiple of four.
inline const std::string* Base64Body(const std::string& text, std::string& scratch) {
    auto isSpace = [](unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    size_t length = 0;
    int padding = 0;
    for (unsigned char c : text) {
        if (isSpace(c)) continue;
        bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
                        c == '/';
        if (c == '=') {
            if (++padding > 2) return nullptr;
        } else if (!alphabet || padding > 0) {
            return nullptr;
        }
        ++length;
    }
    if (length % 4 != 0) return nullptr;
    if (length == text.size()) return &text;
    scratch.clear();
    scratch.reserve(length);
    for (unsigned char c : text)
        if (!isSpace(c)) scratch.push_back(static_cast<char>(c));
    return &scratch;
}

// Length of the UTF-8 sequence starting at p (at most `left` bytes), or 0 when
// the bytes there are not a well-formed sequence.
inline size_t Utf8SequenceLength(const unsigned char* p, size_t left) {
    size_t len;
    if (p[0] < 0x80) return 1;
    if (p[0] >= 0xC2 && p[0] <= 0xDF) len = 2;
    else if (p[0] >= 0xE0 && p[0] <= 0xEF) len = 3;
    else if (p[0] >= 0xF0 && p[0] <= 0xF4) len = 4;
    else return 0;
    if (len > left) return 0;
    for (size_t i = 1; i < len; ++i)
        if ((p[i] & 0xC0) != 0x80) return 0;
    return len;
}

// Reads into `out` until `read` reports the end, taking at most `maxBytes`.
// `read(buffer, room)` returns the bytes it stored (0 at the end, < 0 on a
// failure). `sizeHint` is only where the buffer starts: the source may grow
// or shrink while it is read. On failure `out` is empty and the result false.
template <class ReadFn>
bool ReadAllInto(std::string& out, size_t sizeHint, size_t maxBytes, ReadFn read) {
    size_t want = sizeHint > 0 ? sizeHint : 4096;
    if (want > maxBytes) want = maxBytes;
    out.resize(want);
    size_t used = 0;
    bool ok = true;
    while (used < maxBytes) {
        if (used == out.size()) {
            size_t grow = out.size() < maxBytes / 2 ? out.size() * 2 : maxBytes;
            out.resize(grow > used ? grow : used + 4096);
        }
        long long n = read(&out[used], out.size() - used);
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0) break;
        used += static_cast<size_t>(n);
    }
    if (!ok) {
        out.clear();
        return false;
    }
    out.resize(used);
    return true;
}

}  // namespace detail
}  // namespace pyn

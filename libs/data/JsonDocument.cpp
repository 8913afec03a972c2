#include "JsonDocument.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <cstdint>

namespace orvex {
namespace json {

namespace {

// Forwards the reader's events to `Target` (a document being built or a
// writer) and stops the parse when arrays and objects nest deeper than the
// bound. Stopping at the opening bracket also bounds the reader's own
// recursion.
template <class Target>
class DepthBoundHandler {
public:
    DepthBoundHandler(Target& target, unsigned maxDepth) : m_target(target), m_maxDepth(maxDepth) {}

    bool Null() { return m_target.Null(); }
    bool Bool(bool b) { return m_target.Bool(b); }
    bool Int(int i) { return m_target.Int(i); }
    bool Uint(unsigned u) { return m_target.Uint(u); }
    bool Int64(int64_t i) { return m_target.Int64(i); }
    bool Uint64(uint64_t u) { return m_target.Uint64(u); }
    bool Double(double d) { return m_target.Double(d); }
    bool RawNumber(const char* s, rapidjson::SizeType n, bool copy) { return m_target.RawNumber(s, n, copy); }
    bool String(const char* s, rapidjson::SizeType n, bool copy) { return m_target.String(s, n, copy); }
    bool Key(const char* s, rapidjson::SizeType n, bool copy) { return m_target.Key(s, n, copy); }
    bool StartObject() { return Enter() && m_target.StartObject(); }
    bool EndObject(rapidjson::SizeType members) {
        --m_depth;
        return m_target.EndObject(members);
    }
    bool StartArray() { return Enter() && m_target.StartArray(); }
    bool EndArray(rapidjson::SizeType elements) {
        --m_depth;
        return m_target.EndArray(elements);
    }

private:
    bool Enter() { return ++m_depth <= m_maxDepth; }

    Target& m_target;
    const unsigned m_maxDepth;
    unsigned m_depth = 0;
};

// The parse of `size` bytes at `data` into `target`, strict JSON after a
// whole UTF-8 byte-order mark, if any. RapidJSON's own UTF-8 stream skips
// each byte of a mark that matches, so half a mark would pass for one: the
// mark is taken off here, whole or not at all.
template <class Target>
bool ParseInto(Target& target, const char* data, size_t size, unsigned maxDepth) {
    const size_t mark = ByteOrderMarkLength(data, size);
    rapidjson::MemoryStream input(data + mark, size - mark);
    rapidjson::Reader reader;
    DepthBoundHandler<Target> handler(target, maxDepth);
    return !reader.Parse<rapidjson::kParseDefaultFlags>(input, handler).IsError();
}

// Whether any of the eight bytes of `word` is below 0x20, a quote or a
// backslash (never false when one is).
inline bool MayNeedEscape(uint64_t word) {
    const uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    const uint64_t quote = word ^ (ones * '"'), backslash = word ^ (ones * '\\');
    return (((word - ones * 0x20) & ~word) | ((quote - ones) & ~quote) | ((backslash - ones) & ~backslash)) & highs;
}

}  // namespace

bool ParseBounded(rapidjson::Document& doc, const char* data, size_t size, unsigned maxDepth) {
    bool ok = false;
    auto generate = [&](rapidjson::Document& target) {
        ok = ParseInto(target, data, size, maxDepth);
        return ok;
    };
    doc.Populate(generate);
    return ok;
}

bool ParseBoundedInto(CompactWriter& writer, const char* data, size_t size, unsigned maxDepth) {
    return ParseInto(writer, data, size, maxDepth);
}

void AppendString(rapidjson::StringBuffer& out, const char* data, size_t size) {
    // The writer's table: 'u' for \u00XX, another letter for its short
    // escape, 0 for a byte written as it is.
    static const char kEscape[256] = {
        'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'b', 't', 'n', 'u', 'f', 'r', 'u', 'u',  // 00
        'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u',  // 10
        0,   0,   '"', 0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,    // 20
        0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,    // 30
        0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,    // 40
        0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   '\\', 0, 0,   0,    // 50
    };
    static const char kHex[] = "0123456789ABCDEF";
    // In pieces, so that the room taken for the longest escapes stays small.
    const size_t kPiece = 4096;
    *out.Push(1) = '"';
    for (size_t done = 0; done < size;) {
        const size_t n = size - done < kPiece ? size - done : kPiece;
        char* const start = out.Push(6 * n);
        char* p = start;
        const char* s = data + done;
        const char* const end = s + n;
        // Eight bytes at a time while none of them needs an escape.
        while (end - s >= 8) {
            uint64_t word;
            std::memcpy(&word, s, 8);
            if (MayNeedEscape(word)) break;
            std::memcpy(p, s, 8);
            p += 8;
            s += 8;
        }
        for (; s != end; ++s) {
            const unsigned char c = static_cast<unsigned char>(*s);
            const char e = kEscape[c];
            if (!e) {
                *p++ = static_cast<char>(c);
                continue;
            }
            *p++ = '\\';
            *p++ = e;
            if (e == 'u') {
                *p++ = '0';
                *p++ = '0';
                *p++ = kHex[c >> 4];
                *p++ = kHex[c & 0xF];
            }
        }
        out.Pop(6 * n - static_cast<size_t>(p - start));
        done += n;
    }
    *out.Push(1) = '"';
}

void AppendRaw(rapidjson::StringBuffer& out, const char* data, size_t size) {
    if (size) std::memcpy(out.Push(size), data, size);
}

std::string WriteCompact(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace json
}  // namespace orvex

#include "JsonDocument.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <cstdint>
#include <cstring>

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
    // A writer at its root writes one value and keeps no level: making one
    // per string costs nothing.
    CompactWriter writer(out);
    writer.String(data, static_cast<rapidjson::SizeType>(size));
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

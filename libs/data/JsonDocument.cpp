#include "JsonDocument.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

namespace orvex {
namespace json {

namespace {

// Forwards the reader's events to the document and stops the parse when
// arrays and objects nest deeper than the bound. Stopping at the opening
// bracket also bounds the reader's own recursion.
class DepthBoundHandler {
public:
    DepthBoundHandler(rapidjson::Document& doc, unsigned maxDepth) : m_doc(doc), m_maxDepth(maxDepth) {}

    bool Null() { return m_doc.Null(); }
    bool Bool(bool b) { return m_doc.Bool(b); }
    bool Int(int i) { return m_doc.Int(i); }
    bool Uint(unsigned u) { return m_doc.Uint(u); }
    bool Int64(int64_t i) { return m_doc.Int64(i); }
    bool Uint64(uint64_t u) { return m_doc.Uint64(u); }
    bool Double(double d) { return m_doc.Double(d); }
    bool RawNumber(const char* s, rapidjson::SizeType n, bool copy) { return m_doc.RawNumber(s, n, copy); }
    bool String(const char* s, rapidjson::SizeType n, bool copy) { return m_doc.String(s, n, copy); }
    bool Key(const char* s, rapidjson::SizeType n, bool copy) { return m_doc.Key(s, n, copy); }
    bool StartObject() { return Enter() && m_doc.StartObject(); }
    bool EndObject(rapidjson::SizeType members) {
        --m_depth;
        return m_doc.EndObject(members);
    }
    bool StartArray() { return Enter() && m_doc.StartArray(); }
    bool EndArray(rapidjson::SizeType elements) {
        --m_depth;
        return m_doc.EndArray(elements);
    }

private:
    bool Enter() { return ++m_depth <= m_maxDepth; }

    rapidjson::Document& m_doc;
    const unsigned m_maxDepth;
    unsigned m_depth = 0;
};

}  // namespace

bool ParseBounded(rapidjson::Document& doc, const char* data, size_t size, unsigned maxDepth) {
    // RapidJSON's own UTF-8 stream skips each byte of a mark that matches,
    // so half a mark would pass for one: the mark is taken off here, whole
    // or not at all.
    const size_t mark = ByteOrderMarkLength(data, size);
    rapidjson::MemoryStream input(data + mark, size - mark);
    bool ok = false;
    auto generate = [&](rapidjson::Document& target) {
        rapidjson::Reader reader;
        DepthBoundHandler handler(target, maxDepth);
        ok = !reader.Parse<rapidjson::kParseDefaultFlags>(input, handler).IsError();
        return ok;
    };
    doc.Populate(generate);
    return ok;
}

std::string WriteCompact(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace json
}  // namespace orvex

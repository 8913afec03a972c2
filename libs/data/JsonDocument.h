// JSON parsing and writing shared by the orvexJson functions: RapidJSON's
// DOM with its default parse flags, bounded in nesting depth.
#pragma once

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace orvex {
namespace json {

// Deepest nesting of arrays and objects a parse accepts. A deeper document
// is a parse error: the recursive parser, writer and table conversion would
// otherwise run the thread out of C stack on hostile input. The conversion
// to Lua tables needs two stack slots per object level, so this also keeps
// a document well inside what lua_checkstack can give.
constexpr unsigned kMaxNestingDepth = 512;

// Parses `size` bytes at `data` (the text ends at its first NUL byte, if
// any) into `doc`. Strict JSON after a whole UTF-8 byte-order mark, if any;
// false on any parse error, an empty text included, and on nesting deeper
// than `maxDepth` levels.
bool ParseBounded(rapidjson::Document& doc, const char* data, size_t size,
                  unsigned maxDepth = kMaxNestingDepth);

// Bytes of a whole UTF-8 byte-order mark at the start of `size` bytes at
// `data` (3), else 0: only a whole mark is skipped before a document.
inline size_t ByteOrderMarkLength(const char* data, size_t size) {
    return size >= 3 && static_cast<unsigned char>(data[0]) == 0xEF && static_cast<unsigned char>(data[1]) == 0xBB &&
                   static_cast<unsigned char>(data[2]) == 0xBF
               ? 3
               : 0;
}

using CompactWriter = rapidjson::Writer<rapidjson::StringBuffer>;

// Parses as ParseBounded does and writes each value as it is read: on
// success `writer` has written what WriteCompact would write of the parsed
// document (no document is built); on failure what it wrote is incomplete.
bool ParseBoundedInto(CompactWriter& writer, const char* data, size_t size, unsigned maxDepth = kMaxNestingDepth);

// Appends `size` bytes at `data` as a JSON string, written by CompactWriter
// (every byte counts, zero bytes included; bytes from 0x80 on are copied as
// they are).
void AppendString(rapidjson::StringBuffer& out, const char* data, size_t size);
// Appends `size` bytes at `data` unchanged.
void AppendRaw(rapidjson::StringBuffer& out, const char* data, size_t size);

// Compact JSON text of `value`.
std::string WriteCompact(const rapidjson::Value& value);

// Length of the string value's text up to its first NUL character.
inline size_t TextLength(const rapidjson::Value& s) {
    const char* p = s.GetString();
    size_t n = s.GetStringLength();
    const void* nul = n ? std::memchr(p, 0, n) : nullptr;
    return nul ? static_cast<size_t>(static_cast<const char*>(nul) - p) : n;
}

}  // namespace json
}  // namespace orvex

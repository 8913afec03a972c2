// orvexJson's writing without a document: documents written as they are
// parsed exactly as a parse and a write of the document give them.
#include <gtest/gtest.h>

#include <string>

#include "data/JsonDocument.h"

namespace {

using orvex::json::CompactWriter;

TEST(JsonText, WritingWhileParsingGivesWhatTheDocumentWouldGive) {
    const char* const kDocs[] = {
        "{}",
        "[]",
        " \t\r\n{ \"a\" : [ 1 , -0 , 0.5 , 1e2 , -1.5E-3 , 18446744073709551615 , -9223372036854775808 , 4294967296 ] }",
        "{\"s\":\"caf\\u00e9 \\ud83d\\ude00 \\/ \\\" \\\\ \\b\\f\\n\\r\\t \\u0001\",\"t\":true,\"f\":false,\"n\":null}",
        "{\"dup\":1,\"dup\":2,\"\":{\"\":[[],{},[{}]]}}",
        "\xef\xbb\xbf[1,2,3]",
        "[123456789012345678901234567890, 3.141592653589793238, 1E400000]",
        "[1e-400]",
    };
    for (const char* doc : kDocs) {
        const std::string text(doc);
        rapidjson::Document parsed;
        const bool parsedOk = orvex::json::ParseBounded(parsed, text.data(), text.size());
        rapidjson::StringBuffer buffer;
        CompactWriter writer(buffer);
        const bool streamedOk = orvex::json::ParseBoundedInto(writer, text.data(), text.size());
        EXPECT_EQ(streamedOk, parsedOk) << text;
        if (parsedOk && streamedOk) {
            EXPECT_EQ(std::string(buffer.GetString(), buffer.GetSize()), orvex::json::WriteCompact(parsed)) << text;
        }
    }
    // Failures as the parse's: trailing text, half a byte-order mark, a
    // text cut at a zero byte, nesting past the bound.
    const std::string kBad[] = {"[1] x", "\xef\xbb[1]", std::string("[1,\0 2]", 7), "", "{\"a\":}"};
    for (const std::string& text : kBad) {
        rapidjson::Document parsed;
        rapidjson::StringBuffer buffer;
        CompactWriter writer(buffer);
        EXPECT_FALSE(orvex::json::ParseBounded(parsed, text.data(), text.size())) << text;
        EXPECT_FALSE(orvex::json::ParseBoundedInto(writer, text.data(), text.size())) << text;
    }
    const std::string deep = std::string(4, '[') + std::string(4, ']');
    rapidjson::StringBuffer buffer;
    CompactWriter writer(buffer);
    EXPECT_FALSE(orvex::json::ParseBoundedInto(writer, deep.data(), deep.size(), 3));
    buffer.Clear();
    CompactWriter within(buffer);
    EXPECT_TRUE(orvex::json::ParseBoundedInto(within, deep.data(), deep.size(), 4));
    EXPECT_EQ(std::string(buffer.GetString(), buffer.GetSize()), deep);
}

}  // namespace

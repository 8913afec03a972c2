// orvexJson's writing without a document: strings escaped as RapidJSON's
// writer escapes them, and documents written as they are parsed exactly as
// a parse and a write of the document give them.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "data/JsonDocument.h"

namespace {

using orvex::json::CompactWriter;

std::string WriterString(const std::string& s) {
    rapidjson::StringBuffer buffer;
    CompactWriter writer(buffer);
    writer.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string Appended(const std::string& s) {
    rapidjson::StringBuffer buffer;
    orvex::json::AppendString(buffer, s.data(), s.size());
    return std::string(buffer.GetString(), buffer.GetSize());
}

TEST(JsonText, StringsAreEscapedAsTheWriterEscapesThem) {
    EXPECT_EQ(Appended(""), "\"\"");
    EXPECT_EQ(Appended(std::string("a\0\"\\/\x1f\x7f\xc3\xa9", 9)), "\"a\\u0000\\\"\\\\/\\u001F\x7f\xc3\xa9\"");
    std::string all;
    for (int c = 0; c < 256; ++c) {
        const std::string one(1, static_cast<char>(c));
        EXPECT_EQ(Appended(one), WriterString(one)) << c;
        all += one;
    }
    EXPECT_EQ(Appended(all), WriterString(all));
    // Long texts, escapes at every offset of the eight-byte steps and
    // across the pieces of 4096 bytes.
    std::mt19937 rng(7);
    const char kSome[] = "abc\"\\\n\x01\xe4xyz0123456789";
    for (size_t length : {7u, 8u, 9u, 15u, 16u, 17u, 4095u, 4096u, 4097u, 20000u}) {
        for (int round = 0; round < 8; ++round) {
            std::string s(length, 'q');
            for (size_t i = 0; i < length; ++i)
                if (rng() % (round + 2) == 0) s[i] = kSome[rng() % (sizeof kSome - 1)];
            EXPECT_EQ(Appended(s), WriterString(s)) << length << " " << round;
        }
    }
}

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

// The pyn core the engine stands on: texts, Base64, whole-file reads, logger.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "pyn/AlgorithmUtil.h"
#include "pyn/FileUtil.h"
#include "pyn/LogMessage.h"
#include "pyn/StringUtil.h"

using pyn::CAlgorithmUtil;
using pyn::CStringUtil;

namespace {

TEST(PynStrings, IntToStringTrimAndContains) {
    bool ok = false;
    EXPECT_EQ(CStringUtil::IntToString(0, &ok, 10), "0");
    EXPECT_TRUE(ok);
    EXPECT_EQ(CStringUtil::IntToString(-1234567890123LL), "-1234567890123");
    EXPECT_EQ(CStringUtil::IntToString(LLONG_MIN), "-9223372036854775808");
    EXPECT_EQ(CStringUtil::IntToString(255, nullptr, 16), "ff");
    EXPECT_EQ(CStringUtil::IntToString(5, nullptr, 2), "101");
    EXPECT_EQ(CStringUtil::IntToString(5, &ok, 1), "");
    EXPECT_FALSE(ok);
    EXPECT_EQ(CStringUtil::stringTrimmed(" \t\r\n a b \v\f"), "a b");
    EXPECT_EQ(CStringUtil::stringTrimmed("   "), "");
    EXPECT_EQ(CStringUtil::stringTrimmed(std::string("\0x\0", 3)), std::string("\0x\0", 3));
    EXPECT_TRUE(CStringUtil::stringContains("haystack", "st"));
    EXPECT_TRUE(CStringUtil::stringContains("haystack", ""));
    EXPECT_FALSE(CStringUtil::stringContains("hay", "hays"));
    const std::string bytes("a\0\xff", 3);
    EXPECT_EQ(CStringUtil::vec2str(CStringUtil::str2vec(bytes)), bytes);
}

TEST(PynStrings, ConversionsFollowTheLocalCodePage) {
    {
        orvextest::CodePageScope utf8("UTF-8");
        EXPECT_EQ(CStringUtil::utf8_s2s("caf\xc3\xa9"), "caf\xc3\xa9");  // UTF-8 local: identity
#if !defined(_WIN32)
        EXPECT_EQ(CStringUtil::utf8_s2s("\xff"), "\xff");  // even for invalid bytes (Windows: '?')
#endif
    }
    {
        orvextest::CodePageScope latin1("ISO-8859-1");
#if defined(_WIN32)
        EXPECT_EQ(CStringUtil::LocalCodePage(), "CP28591");  // Windows names code pages by number
#else
        EXPECT_EQ(CStringUtil::LocalCodePage(), "ISO-8859-1");
#endif
        EXPECT_EQ(CStringUtil::utf8_s2s("caf\xc3\xa9 \xe4\xb8\xad!"), "caf\xe9 ?!");
        EXPECT_EQ(CStringUtil::utf8_s2s("a\xff" "b\xc3"), "a?b?");  // invalid and truncated input
        EXPECT_EQ(CStringUtil::s2s_utf8("caf\xe9"), "caf\xc3\xa9");
        EXPECT_EQ(CStringUtil::s2s_utf8(std::string("a\0b", 3)), std::string("a\0b", 3));
        std::string big(100000, '\xe9');
        EXPECT_EQ(CStringUtil::utf8_s2s(CStringUtil::s2s_utf8(big)), big);
    }
    {
        // An unknown name leaves the default: UTF-8 here, the ANSI code page
        // on Windows.
        const std::string byDefault = CStringUtil::LocalCodePage();
        orvextest::CodePageScope unknown("NO-SUCH-CODESET");
#if defined(_WIN32)
        EXPECT_EQ(CStringUtil::LocalCodePage(), byDefault);
#else
        (void)byDefault;
        EXPECT_TRUE(CStringUtil::LocalIsUtf8());
        EXPECT_EQ(CStringUtil::utf8_s2s("caf\xc3\xa9"), "caf\xc3\xa9");
#endif
    }
}

TEST(PynBase64, AgreesWithPython) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs python3, which a program under Wine cannot start (PynTest checks standard vectors)";
#endif
    std::string bytes;
    for (int i = 0; i < 1000; ++i) bytes += static_cast<char>((i * 7919) & 0xff);
    orvextest::TempDir dir;
    orvextest::WriteFile(dir.file("bytes"), bytes);
    std::string python;
    ASSERT_EQ(orvextest::RunCommand("python3 -c 'import base64,sys; sys.stdout.write(base64.b64encode(open(sys.argv[1],"
                                    "\"rb\").read()).decode())' " + orvextest::ShellQuote(dir.file("bytes")),
                                    &python),
              0);
    EXPECT_EQ(CAlgorithmUtil::toBase64(bytes), python);
    EXPECT_EQ(CAlgorithmUtil::fromBase64(python), bytes);
}

TEST(PynBase64, WrappedTextAndGarbage) {
    EXPECT_EQ(CAlgorithmUtil::toBase64("a"), "YQ==");
    EXPECT_EQ(CAlgorithmUtil::toBase64(""), "");
    // Line breaks and blanks inside are skipped, as in wrapped files.
    EXPECT_EQ(CAlgorithmUtil::fromBase64("aGVs\r\nbG8g\n d29y bGQ=\n"), "hello world");
    EXPECT_EQ(CAlgorithmUtil::fromBase64("not*base64"), "");
    EXPECT_EQ(CAlgorithmUtil::fromBase64("YQ==YQ=="), "");
}

TEST(PynBase64, IntoABufferAsIntoAString) {
    EXPECT_EQ(CAlgorithmUtil::Base64Room(0), 0u);
    EXPECT_EQ(CAlgorithmUtil::Base64Room(1), 5u);
    EXPECT_EQ(CAlgorithmUtil::Base64Room(3), 5u);
    EXPECT_EQ(CAlgorithmUtil::Base64Room(4), 9u);
    EXPECT_EQ(CAlgorithmUtil::Base64Room(SIZE_MAX), SIZE_MAX);
    // Every length up to a few groups, and across the 3 MiB pieces the
    // encoder works in.
    std::string bytes(3 * 1024 * 1024 + 5, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 151 + (i >> 7));
    for (size_t n : {size_t(0), size_t(1), size_t(2), size_t(3), size_t(4), size_t(5), size_t(6), size_t(7),
                     size_t(64), size_t(3 * 1024 * 1024 - 1), size_t(3 * 1024 * 1024), bytes.size()}) {
        const std::string expected = CAlgorithmUtil::toBase64(bytes.substr(0, n));
        std::vector<char> out(CAlgorithmUtil::Base64Room(n) + 1, '#');
        const size_t written = CAlgorithmUtil::toBase64(bytes.data(), n, out.data());
        EXPECT_EQ(std::string(out.data(), written), expected) << n;
        EXPECT_EQ(out.back(), '#') << n;  // nothing past the room
        EXPECT_EQ(written, n == 0 ? 0 : CAlgorithmUtil::Base64Room(n) - 1) << n;
    }
}

TEST(PynFiles, ReadFullFileWithAndWithoutLimit) {
    orvextest::TempDir dir;
    std::string out = "stale";
    EXPECT_FALSE(pyn::CFileUtil::ReadFullFile(dir.file("missing"), out));
    EXPECT_EQ(out, "");
    EXPECT_FALSE(pyn::CFileUtil::ReadFullFile(dir.path(), out));
    const std::string data("x\0y", 3);
    orvextest::WriteFile(dir.file("f"), data + std::string(100000, 'z'));
    EXPECT_TRUE(pyn::CFileUtil::ReadFullFile(dir.file("f"), out));
    EXPECT_EQ(out.size(), 100003u);
    EXPECT_EQ(out.substr(0, 3), data);
    EXPECT_TRUE(pyn::CFileUtil::ReadFullFile(dir.file("f"), out, 10));
    EXPECT_EQ(out.size(), 10u);
    EXPECT_TRUE(pyn::CFileUtil::IsFile(dir.file("f")));
    EXPECT_FALSE(pyn::CFileUtil::IsFile(dir.path()));
    // /proc files report no size but have contents.
    EXPECT_TRUE(pyn::CFileUtil::ReadFullFile("/proc/self/status", out));
    EXPECT_NE(out.find("Name:"), std::string::npos);

    EXPECT_TRUE(pyn::CFileUtil::ReplaceFileAtomically(dir.file("f"), "new"));
    EXPECT_EQ(orvextest::ReadFile(dir.file("f")), "new");
    EXPECT_FALSE(pyn::CFileUtil::ReplaceFileAtomically(dir.file("no/such/dir/f"), "x"));
}

TEST(PynLog, RecordsReachTheInstalledSink) {
    orvextest::LogCapture capture;
    pyn::CLogMessage::GetInstance()->log(pyn::PynLogError, "Source", 42, "value %d and %s", 7, "text");
    pyn::CLogMessage::GetInstance()->WriteLogMessage("whole text", pyn::PynLogInfo);
    std::string longText(2000, 'q');
    pyn::CLogMessage::GetInstance()->log(2, "S", 1, "%s", longText.c_str());
    auto records = capture.records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].level, 2);
    EXPECT_EQ(records[0].source, "Source");
    EXPECT_EQ(records[0].line, 42);
    EXPECT_EQ(records[0].text, "value 7 and text");
    EXPECT_EQ(records[1].level, 4);
    EXPECT_EQ(records[1].text, "whole text");
    EXPECT_EQ(records[2].text, longText);
}

}  // namespace

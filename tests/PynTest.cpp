// The pyn operations each platform implements on its own system API: the
// same cases must give the same results on Linux and on Windows.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <thread>

#include "TestSupport.h"
#include "pyn/AlgorithmUtil.h"
#include "pyn/FileUtil.h"
#include "pyn/StringUtil.h"
#include "pyn/ThreadUtil.h"
#include "pyn/ToolUtil.h"

using pyn::CAlgorithmUtil;
using pyn::CFileUtil;
using pyn::CStringUtil;

namespace fs = std::filesystem;

namespace {

TEST(PynBase64, EncodesAndDecodesTheStandardAlphabet) {
    // RFC 4648 test vectors.
    const std::pair<const char*, const char*> vectors[] = {
        {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"}};
    for (const auto& v : vectors) {
        EXPECT_EQ(CAlgorithmUtil::toBase64(v.first), v.second);
        EXPECT_EQ(CAlgorithmUtil::fromBase64(v.second), v.first);
    }
    EXPECT_EQ(CAlgorithmUtil::toBase64(""), "");
    EXPECT_EQ(CAlgorithmUtil::toBase64("\xfb\xff"), "+/8=");
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    // Large enough for several internal chunks, with no line breaks.
    std::string big;
    while (big.size() < (7u << 20)) big += all;
    for (const std::string& bytes : {all, big}) {
        std::string text = CAlgorithmUtil::toBase64(bytes);
        EXPECT_EQ(text.size(), (bytes.size() + 2) / 3 * 4);
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
        EXPECT_EQ(CAlgorithmUtil::fromBase64(text), bytes);
    }
}

TEST(PynBase64, WhiteSpaceIsSkippedAnythingElseInvalidGivesEmpty) {
    EXPECT_EQ(CAlgorithmUtil::fromBase64(" Zm9v\r\nYm\tFy\n"), "foobar");
    EXPECT_EQ(CAlgorithmUtil::fromBase64("Zg==\r\n"), "f");
    for (const char* bad : {"Zm9v*", "Zg", "Zg=", "Zm9vY", "Z===", "Zg==Zg==", "Zg=a", "Zm9v\xc3\xa9", "Zm9v\v"})
        EXPECT_EQ(CAlgorithmUtil::fromBase64(bad), "") << bad;
    EXPECT_EQ(CAlgorithmUtil::fromBase64(""), "");
}

TEST(PynCodePages, WhatTheTargetCannotHoldBecomesOneQuestionMark) {
    {
        orvextest::CodePageScope latin1("ISO-8859-1");
        EXPECT_FALSE(CStringUtil::LocalIsUtf8());
        // No look-alike: a-macron is not "a".
        EXPECT_EQ(CStringUtil::utf8_s2s("x\xc4\x81y"), "x?y");
        // One '?' for a character outside the BMP, and one per malformed byte.
        EXPECT_EQ(CStringUtil::utf8_s2s("<\xf0\x9f\x98\x80>"), "<?>");
        EXPECT_EQ(CStringUtil::utf8_s2s("a\xff\xfe" "b"), "a??b");
        EXPECT_EQ(CStringUtil::utf8_s2s("caf\xc3\xa9"), "caf\xe9");
        EXPECT_EQ(CStringUtil::s2s_utf8("caf\xe9"), "caf\xc3\xa9");
    }
    {
        orvextest::CodePageScope gbk("GBK");
        EXPECT_EQ(CStringUtil::utf8_s2s("\xe4\xb8\xad\xe6\x96\x87"), "\xd6\xd0\xce\xc4");
        EXPECT_EQ(CStringUtil::s2s_utf8("\xd6\xd0\xce\xc4"), "\xe4\xb8\xad\xe6\x96\x87");
        // A lead byte with nothing after it.
        EXPECT_EQ(CStringUtil::s2s_utf8("ab\x81"), "ab?");
        // Thai ko kai is no GBK character.
        EXPECT_EQ(CStringUtil::utf8_s2s("\xe0\xb8\x81"), "?");
    }
    {
        orvextest::CodePageScope utf8("UTF-8");
        EXPECT_TRUE(CStringUtil::LocalIsUtf8());
        // The identity, malformed bytes included.
        EXPECT_EQ(CStringUtil::utf8_s2s("a\xff"), "a\xff");
        EXPECT_EQ(CStringUtil::s2s_utf8("a\xff"), "a\xff");
    }
}

TEST(PynFiles, ReadingLimitsAndFailures) {
    orvextest::TempDir dir;
    const std::string path = dir.file("data.bin");
    std::string bytes("a\0b\r\nc", 6);
    orvextest::WriteFile(path, bytes);
    std::string out = "stale";
    EXPECT_TRUE(CFileUtil::IsFile(path));
    EXPECT_TRUE(CFileUtil::ReadFullFile(path, out));
    EXPECT_EQ(out, bytes);  // binary: no line-end translation
    EXPECT_TRUE(CFileUtil::ReadFullFile(path, out, 3));
    EXPECT_EQ(out, bytes.substr(0, 3));
    out = "stale";
    EXPECT_FALSE(CFileUtil::ReadFullFile(dir.file("missing"), out));
    EXPECT_EQ(out, "");
    EXPECT_FALSE(CFileUtil::ReadFullFile(dir.path(), out));
    EXPECT_FALSE(CFileUtil::IsFile(dir.path()));
    EXPECT_FALSE(CFileUtil::IsFile(""));
}

TEST(PynFiles, AtomicReplacementLeavesOneFileOrNone) {
    orvextest::TempDir dir;
    const std::string path = dir.file("state.txt");
    EXPECT_TRUE(CFileUtil::ReplaceFileAtomically(path, "first"));
    EXPECT_TRUE(CFileUtil::ReplaceFileAtomically(path, "second, longer"));
    EXPECT_EQ(orvextest::ReadFile(path), "second, longer");
    EXPECT_TRUE(CFileUtil::ReplaceFileAtomically(path, ""));
    EXPECT_EQ(orvextest::ReadFile(path), "");
    // A directory in the way or a missing directory: nothing changes.
    fs::create_directory(dir.file("sub"));
    EXPECT_FALSE(CFileUtil::ReplaceFileAtomically(dir.file("sub"), "x"));
    EXPECT_TRUE(fs::is_directory(dir.file("sub")));
    EXPECT_FALSE(CFileUtil::ReplaceFileAtomically(dir.file("none/state.txt"), "x"));
    EXPECT_FALSE(CFileUtil::ReplaceFileAtomically(dir.path() + "/", "x"));
    // No temporary is left behind.
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path())) names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"state.txt", "sub"}));
}

TEST(PynFiles, PathsAreLocalText) {
    orvextest::TempDir dir;
    const std::string utf8Name = "caf\xc3\xa9-\xe4\xb8\xad.txt";
    {
        orvextest::CodePageScope utf8("UTF-8");
        const std::string path = dir.file(utf8Name);
        EXPECT_TRUE(CFileUtil::ReplaceFileAtomically(path, "text"));
        EXPECT_TRUE(CFileUtil::IsFile(path));
        std::string out;
        EXPECT_TRUE(CFileUtil::ReadFullFile(path, out));
        EXPECT_EQ(out, "text");
    }
    EXPECT_TRUE(fs::exists(fs::u8path(dir.path() + "/" + utf8Name)));
#if defined(_WIN32)
    // Windows names are characters: the same name in GBK bytes finds the file
    // (e-acute is a pinyin letter there). POSIX names are the bytes as given.
    orvextest::CodePageScope gbk("GBK");
    EXPECT_TRUE(CFileUtil::IsFile(dir.file("caf\xa8\xa6-\xd6\xd0.txt")));
#endif
}

TEST(PynTools, ApplicationDirectoryAndThreadIds) {
#if defined(_WIN32)
    const char* exe = "/orvex_tests.exe";
#else
    const char* exe = "/orvex_tests";
#endif
    const std::string appDir = pyn::CToolUtil::GetApplicationDirPath();
    EXPECT_TRUE(CFileUtil::IsFile(appDir + exe)) << appDir;
    {
        orvextest::AppDirScope scope("/somewhere/else");
        EXPECT_EQ(pyn::CToolUtil::GetApplicationDirPath(), "/somewhere/else");
    }
    EXPECT_EQ(pyn::CToolUtil::GetApplicationDirPath(), appDir);

    const uint32_t self = pyn::CThreadUtil::GetCurrentThreadId();
    EXPECT_NE(self, 0u);
    EXPECT_EQ(pyn::CThreadUtil::GetCurrentThreadId(), self);
    uint32_t other = 0;
    std::thread t([&] { other = pyn::CThreadUtil::GetCurrentThreadId(); });
    t.join();
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, self);
}

}  // namespace

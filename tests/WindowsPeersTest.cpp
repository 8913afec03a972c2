// On Windows, under Wine: the Linux peers read what the Windows build
// wrote (the script tests there can only read what the peers wrote, from
// fixtures/peers). Nothing to do elsewhere: the script tests run the peers.
#if defined(_WIN32)
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "TestSupport.h"
#include "WinePeers.h"
#include "pyn/AlgorithmUtil.h"
#include "pyn/StringUtil.h"
#include "pyn/ZipUtil.h"

namespace {

using orvextest::RunLinuxShell;
using orvextest::TempDir;
using orvextest::WineUnixPath;
using orvextest::WriteFile;

class WindowsPeers : public ::testing::Test {
protected:
    void SetUp() override {
        if (WineUnixPath(m_tmp.path()).empty()) GTEST_SKIP() << "the Linux peers exist only under Wine";
    }
    // The Linux path of the file `name` in the test's directory, quoted for sh.
    std::string Q(const std::string& name) { return "'" + WineUnixPath(m_tmp.file(name)) + "'"; }

    static std::string Sample(size_t n, unsigned seed) {
        std::string s(n, '\0');
        for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(((i + 1) * seed + (i + 1) / 7) % 256);
        return s;
    }

    TempDir m_tmp;
};

TEST_F(WindowsPeers, OpensslDecryptsOurAes) {
    std::string plain = Sample(5000, 31);
    WriteFile(m_tmp.file("plain"), plain);
    for (size_t keyLength : {16u, 24u, 32u}) {
        std::string key = Sample(keyLength, 3);
        pyn::ByteVector cipher;
        ASSERT_TRUE(pyn::CAlgorithmUtil::aesEncrypt(key, pyn::CStringUtil::str2vec(plain), cipher));
        std::string raw = pyn::CStringUtil::vec2str(cipher);
        WriteFile(m_tmp.file("cipher"), raw.substr(16));
        EXPECT_TRUE(RunLinuxShell("openssl enc -d -aes-" + std::to_string(keyLength * 8) + "-cbc -K " +
                                      pyn::CAlgorithmUtil::toHex(key) + " -iv " +
                                      pyn::CAlgorithmUtil::toHex(raw.substr(0, 16)) + " -in " + Q("cipher") +
                                      " | cmp - " + Q("plain"),
                                  m_tmp.path()))
            << "AES-" << keyLength * 8;
    }
}

TEST_F(WindowsPeers, UnzipExtractsOurArchive) {
    namespace fs = std::filesystem;
    fs::create_directories(m_tmp.file("src/sub/deeper"));
    fs::create_directories(m_tmp.file("src/empty"));
    WriteFile(m_tmp.file("src/a.bin"), Sample(70000, 31) + std::string("\0tail", 5));
    WriteFile(m_tmp.file("src/sub/deeper/c.txt"), "text\n");
    ASSERT_TRUE(pyn::CZipUtil::DirzipFile(m_tmp.file("src"), m_tmp.file("ours.zip")));
    EXPECT_TRUE(RunLinuxShell("unzip -tq " + Q("ours.zip") + " && unzip -q " + Q("ours.zip") + " -d " + Q("out") +
                                  " && diff -r " + Q("src") + " " + Q("out"),
                              m_tmp.path()));
}

TEST_F(WindowsPeers, PythonReadsOurGzipAndZlib) {
    std::string data = Sample(100000, 31) + std::string("\0\0end", 5);
    WriteFile(m_tmp.file("plain"), data);
    WriteFile(m_tmp.file("ours.gz"), pyn::CZipUtil::Compress(data));
    WriteFile(m_tmp.file("ours.z"), pyn::CZipUtil::zlibCompress(data));
    EXPECT_TRUE(RunLinuxShell("python3 -c 'import gzip, sys, zlib; r = lambda p: open(p, \"rb\").read(); "
                              "assert gzip.decompress(r(sys.argv[2])) == r(sys.argv[1]); "
                              "assert zlib.decompress(r(sys.argv[3])) == r(sys.argv[1])' " +
                                  Q("plain") + " " + Q("ours.gz") + " " + Q("ours.z"),
                              m_tmp.path()));
}

}  // namespace
#endif

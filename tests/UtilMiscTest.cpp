// HTTP transfers against a loopback Python server: the orvexUtil functions
// (results and log lines) and the client's own guarantees (file replaced
// only on success, bounded redirects, verified TLS, time-outs, threads).
#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <filesystem>
#include <thread>
#ifndef _WIN32
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "LoopbackHttpServer.h"
#include "LuaEngineInterface.h"
#include "TestSupport.h"
#include "pyn/HttpUtil.h"
#include "pyn/LogMessage.h"

namespace {

using orvextest::ReadFile;
using orvextest::TempDir;
using orvextest::HttpTestServer;
using orvextest::WriteFile;

class HttpTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = new TempDir;
        std::filesystem::create_directory(s_dir->file("www"));
        WriteFile(s_dir->file("www/hello.txt"), std::string("hello\0world", 11));
        std::string big(3 << 20, '\0');
        for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 4096);
        WriteFile(s_dir->file("www/big.bin"), big);
        s_server = new HttpTestServer(s_dir->file("www"), s_dir->path());
    }
    static void TearDownTestSuite() {
        delete s_server;
        delete s_dir;
    }

    // Runs `body` as the body of orvexScriptMain(url, dir); gives its result.
    std::string RunScript(const std::string& body) {
        std::string script = m_tmp.file("case.lua");
        orvextest::WriteScript(script, "function orvexScriptMain(url, dir)\n" + body + "\nend\n");
        std::string result;
        std::thread runner([&] {
            CLuaEngineInterface::ExecLua(script, "", result, {s_server->url(""), m_tmp.path()}, false);
        });
        runner.join();
        return result;
    }

    void SetUp() override { ORVEX_REQUIRE_HTTP_SERVER(*s_server); }

    static pyn::CHttpUtil* Http() { return pyn::CSingleton<pyn::CHttpUtil>::GetInstance(); }

    static TempDir* s_dir;
    static HttpTestServer* s_server;
    TempDir m_tmp;
};

TempDir* HttpTest::s_dir = nullptr;
HttpTestServer* HttpTest::s_server = nullptr;

TEST_F(HttpTest, GetToFileWritesTheBodyAndLogsFailures) {
    orvextest::LogCapture log;
    EXPECT_EQ(RunScript("return tostring(orvexUtil.HttpGetToFile(url .. '/files/hello.txt', dir .. '/a.txt'))"),
              "true");
    EXPECT_EQ(ReadFile(m_tmp.file("a.txt")), std::string("hello\0world", 11));
    EXPECT_TRUE(log.records().empty());

    WriteFile(m_tmp.file("b.txt"), "good");
    EXPECT_EQ(RunScript("return tostring(orvexUtil.HttpGetToFile(url .. '/status/404', dir .. '/b.txt', 5000))"),
              "false");
    EXPECT_EQ(ReadFile(m_tmp.file("b.txt")), "good");
    auto records = log.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, pyn::PynLogError);
    EXPECT_EQ(records[0].source, "UtilWrapper");
    EXPECT_GT(records[0].line, 0);
    EXPECT_EQ(records[0].text, "HttpGetToFile Error 404");

    EXPECT_EQ(RunScript("local ok, e = pcall(orvexUtil.HttpGetToFile, url) return e"),
              "argv error");
    EXPECT_EQ(RunScript("local ok, e = pcall(orvexUtil.HttpGetToFile, url, '') return e"),
              "argv error");
}

TEST_F(HttpTest, GetToBufferGivesTheBodyWhateverTheStatus) {
    orvextest::LogCapture log;
    EXPECT_EQ(RunScript("return orvexUtil.HttpGetToBuffer(url .. '/files/big.bin') == io.open(dir .. "
                        "'/../' .. '" + std::filesystem::path(s_dir->path()).filename().string() +
                        "/www/big.bin', 'rb'):read('*a') and 'same' or 'different'"),
              "same");
    EXPECT_EQ(RunScript("return '[' .. orvexUtil.HttpGetToBuffer(url .. '/empty', 2000) .. ']'"), "[]");
    EXPECT_EQ(RunScript("return orvexUtil.HttpGetToBuffer(url .. '/status/404')"), "status 404");
    // Nothing listens on port 1.
    EXPECT_EQ(RunScript("return '[' .. orvexUtil.HttpGetToBuffer('http://127.0.0.1:1/') .. ']'"), "[]");
    std::vector<std::string> texts;
    for (const auto& r : log.records()) {
        EXPECT_EQ(r.source, "UtilWrapper");
        texts.push_back(r.text);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"HttpGetToBuffer Error 200", "HttpGetToBuffer Error 404",
                                               "HttpGetToBuffer Error 0"}));
    EXPECT_EQ(RunScript("local ok, e = pcall(orvexUtil.HttpGetToBuffer) return e"),
              "argv error");
}

TEST_F(HttpTest, PostFunctionsGiveSuccessStatusAndResponse) {
    const std::string show = "local function show(...) local t = {...} "
                             "return tostring(t[1]) .. '|' .. t[2] .. '|' .. t[3] .. '|' .. select('#', ...) end ";
    EXPECT_EQ(RunScript(show + "local ok, s, r = orvexUtil.HttpPostFromBuffer(url .. '/echo', 'a\\0b') "
                               "return show(ok, s, r == 'a\\0b' and 'same' or r, 0)"),
              "true|200|same|4");
    EXPECT_EQ(RunScript(show + "return show(orvexUtil.HttpPostFromBuffer(url .. '/status/500', 'x', 1))"),
              "false|500|x|3");
    WriteFile(m_tmp.file("body.txt"), "from a file");
    EXPECT_EQ(RunScript(show + "return show(orvexUtil.HttpPostFromFile(url .. '/echo', dir .. '/body.txt'))"),
              "true|200|from a file|3");

    // A missing or empty file makes no request at all.
    std::string before = RunScript("return orvexUtil.HttpGetToBuffer(url .. '/posts')");
    WriteFile(m_tmp.file("empty.txt"), "");
    EXPECT_EQ(RunScript(show + "return show(orvexUtil.HttpPostFromFile(url .. '/echo', dir .. '/missing'))"),
              "false|0||3");
    EXPECT_EQ(RunScript(show + "return show(orvexUtil.HttpPostFromFile(url .. '/echo', dir .. '/empty.txt'))"),
              "false|0||3");
    EXPECT_EQ(RunScript("return orvexUtil.HttpGetToBuffer(url .. '/posts')"), before);

    EXPECT_EQ(RunScript("local ok, e = pcall(orvexUtil.HttpPostFromBuffer, url, '') return e"),
              "argv error");
    EXPECT_EQ(RunScript("local ok, e = pcall(orvexUtil.HttpPostFromFile, {}, 'x') return e"),
              "argv error");
}

// A body read into memory stops at the read limit: the transfer ends at
// once and the call fails with an empty body, whatever the caller's
// maxBytes.
TEST_F(HttpTest, BodiesPastTheReadLimitEndTheTransfer) {
    orvextest::ReadLimitScope limit(1 << 20);
    orvextest::LogCapture log;
    const std::string show = "local function show(...) local t = {...} "
                             "return tostring(t[1]) .. '|' .. t[2] .. '|' .. t[3] .. '|' .. select('#', ...) end ";
    EXPECT_EQ(RunScript("return '[' .. orvexUtil.HttpGetToBuffer(url .. '/endless') .. ']'"), "[]");
    // Announced longer than the limit.
    EXPECT_EQ(RunScript("return '[' .. orvexUtil.HttpGetToBuffer(url .. '/files/big.bin') .. ']'"), "[]");
    EXPECT_EQ(RunScript(show + "return show(orvexUtil.HttpPostFromBuffer(url .. '/endless', 'x'))"), "false|200||3");
    WriteFile(m_tmp.file("body.txt"), "from a file");
    EXPECT_EQ(RunScript(show + "return show(orvexUtil.HttpPostFromFile(url .. '/endless', dir .. '/body.txt'))"),
              "false|200||3");
    std::vector<std::string> texts;
    for (const auto& r : log.records()) texts.push_back(r.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"HttpGetToBuffer Error 200", "HttpGetToBuffer Error 200"}));

    std::string body = "stale";
    int64_t status = 0;
    EXPECT_FALSE(Http()->HttpGetToBuffer(s_server->url("/endless"), body, status, nullptr, 5000, 60000,
                                         int64_t{1} << 40));
    EXPECT_EQ(status, 200);
    EXPECT_EQ(body, "");
    EXPECT_FALSE(Http()->HttpGetToBuffer(s_server->url("/files/big.bin"), body, status, nullptr, 5000, 60000, 1000));
    EXPECT_EQ(body, "") << "the caller's smaller maxBytes";
    orvextest::ReadLimitScope larger(4 << 20);
    EXPECT_TRUE(Http()->HttpGetToBuffer(s_server->url("/files/big.bin"), body, status, nullptr, 5000, 60000, -1));
    EXPECT_EQ(body.size(), size_t{3} << 20) << "up to the limit the body is whole";
}

TEST_F(HttpTest, FileIsReplacedOnlyByACompleteDownload) {
    const std::string target = m_tmp.file("keep.bin");
    WriteFile(target, "previous");
    int64_t status = -5;
    // The server announces 1000 bytes and sends 10.
    EXPECT_FALSE(Http()->HttpGetToFile(s_server->url("/partial"), target, status, nullptr, 5000, 5000, -1));
    EXPECT_EQ(status, 200);
    EXPECT_EQ(ReadFile(target), "previous");
    EXPECT_FALSE(Http()->HttpGetToFile(s_server->url("/files/big.bin"), target, status, nullptr, 5000, 5000, 1000));
    EXPECT_EQ(ReadFile(target), "previous");
    EXPECT_TRUE(Http()->HttpGetToFile(s_server->url("/files/big.bin"), target, status, nullptr, 5000, 5000, -1));
    EXPECT_EQ(ReadFile(target), ReadFile(s_dir->file("www/big.bin")));
    // No temporary file is left beside the target.
    size_t entries = 0;
    for (auto it = std::filesystem::directory_iterator(m_tmp.path()); it != std::filesystem::directory_iterator(); ++it)
        ++entries;
    EXPECT_EQ(entries, 1u);
    // A directory that does not exist cannot take the file.
    EXPECT_FALSE(Http()->HttpGetToFile(s_server->url("/files/hello.txt"), m_tmp.file("no/such/file"), status,
                                       nullptr, 5000, 5000, -1));
}

#ifndef _WIN32
// A download onto a symbolic link replaces the file it names, as the file
// library's whole-file writes do; the link stays a link.
TEST_F(HttpTest, ADownloadThroughALinkReplacesItsTarget) {
    WriteFile(m_tmp.file("real.txt"), "old");
    ASSERT_EQ(symlink("real.txt", m_tmp.file("link.txt").c_str()), 0);
    int64_t status = 0;
    EXPECT_TRUE(Http()->HttpGetToFile(s_server->url("/files/hello.txt"), m_tmp.file("link.txt"), status, nullptr,
                                      5000, 5000, -1));
    EXPECT_EQ(ReadFile(m_tmp.file("real.txt")), ReadFile(s_dir->file("www/hello.txt")));
    EXPECT_TRUE(std::filesystem::is_symlink(m_tmp.file("link.txt")));
}
#endif

// A download replaces a file as the other whole-file writes do: the file
// keeps its owner, group and mode (its security descriptor on Windows), and
// what is not a regular file is not replaced.
TEST_F(HttpTest, ADownloadKeepsTheOwnerAndNeverReplacesAPipe) {
    int64_t status = 0;
    const std::string target = m_tmp.file("conf");
    WriteFile(target, "old");
#ifndef _WIN32
    ASSERT_EQ(mkfifo(m_tmp.file("fifo").c_str(), 0600), 0);
    EXPECT_FALSE(Http()->HttpGetToFile(s_server->url("/files/hello.txt"), m_tmp.file("fifo"), status, nullptr, 5000,
                                       5000, -1));
    struct stat st;
    ASSERT_EQ(lstat(m_tmp.file("fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    if (geteuid() != 0) GTEST_SKIP() << "giving a file to nobody needs root (the pipe was checked)";
    struct passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    ASSERT_EQ(chown(target.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    ASSERT_EQ(chmod(target.c_str(), 0600), 0);
    EXPECT_TRUE(Http()->HttpGetToFile(s_server->url("/files/hello.txt"), target, status, nullptr, 5000, 5000, -1));
    EXPECT_EQ(ReadFile(target), ReadFile(s_dir->file("www/hello.txt")));
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, nobody->pw_uid);
    EXPECT_EQ(st.st_gid, nobody->pw_gid);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
#else
    orvextest::LinuxSpecialFilesCleanup cleanup(m_tmp.path());
    ASSERT_TRUE(orvextest::RunLinuxShell("mkfifo '" + orvextest::WineUnixPath(m_tmp.file("fifo")) + "' && chmod 600 '" +
                                             orvextest::WineUnixPath(target) + "'",
                                         m_tmp.path()));
    EXPECT_FALSE(Http()->HttpGetToFile(s_server->url("/files/hello.txt"), m_tmp.file("fifo"), status, nullptr, 5000,
                                       5000, -1));
    EXPECT_TRUE(orvextest::RunLinuxShell("test -p '" + orvextest::WineUnixPath(m_tmp.file("fifo")) + "'", m_tmp.path()));
    const std::string before = orvextest::FileSecurityText(target);
    EXPECT_EQ(before.find(";;;WD)"), std::string::npos) << before;
    EXPECT_TRUE(Http()->HttpGetToFile(s_server->url("/files/hello.txt"), target, status, nullptr, 5000, 5000, -1));
    EXPECT_EQ(ReadFile(target), ReadFile(s_dir->file("www/hello.txt")));
    EXPECT_EQ(orvextest::FileSecurityText(target), before);
#endif
}

// The system and the HTTP client would read a text only up to a zero byte:
// another file, another resource.
TEST_F(HttpTest, UrlsAndPathsWithAZeroByteAreRefused) {
    const std::string zero("\0", 1);
    int64_t status = -5;
    EXPECT_FALSE(Http()->HttpGetToFile(s_server->url("/files/hello.txt"), m_tmp.file("a.txt") + zero + ".part",
                                       status, nullptr, 5000, 5000, -1));
    EXPECT_FALSE(std::filesystem::exists(m_tmp.file("a.txt")));
    std::string body;
    EXPECT_FALSE(Http()->HttpGetToBuffer(s_server->url("/files/hello.txt") + zero + "/../secret", body, status,
                                         nullptr, 5000, 5000, -1));
    EXPECT_EQ(body, "");
    EXPECT_FALSE(Http()->HttpPostFromBuffer(s_server->url("/echo") + zero + "x", "data", body, status, nullptr,
                                            5000, 5000));
    EXPECT_EQ(status, 0);
}

TEST_F(HttpTest, RedirectsAreBoundedAndTimeOutsApply) {
    std::string body;
    int64_t status = 0;
    EXPECT_TRUE(Http()->HttpGetToBuffer(s_server->url("/redirect/3"), body, status, nullptr, 5000, 5000, -1));
    EXPECT_EQ(status, 200);
    EXPECT_EQ(body, "redirected");
    EXPECT_FALSE(Http()->HttpGetToBuffer(s_server->url("/redirect/" + std::to_string(pyn::CHttpUtil::kMaxRedirects + 1)),
                                         body, status, nullptr, 5000, 5000, -1));
    EXPECT_EQ(status, 302);

    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Http()->HttpGetToBuffer(s_server->url("/slow/3000"), body, status, nullptr, 5000, 300, -1));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
    EXPECT_TRUE(Http()->HttpGetToBuffer(s_server->url("/slow/100"), body, status, nullptr, -1, -1, -1));
    EXPECT_EQ(body, "slow");
    // Only HTTP and HTTPS.
    WriteFile(m_tmp.file("local.txt"), "secret");
    EXPECT_FALSE(Http()->HttpGetToBuffer("file://" + m_tmp.file("local.txt"), body, status, nullptr, 5000, 5000, -1));
    EXPECT_EQ(body, "");
}

TEST_F(HttpTest, ProgressCallbackSeesTheTransferAndCanStopIt) {
    struct StopAfter : pyn::IHttpCallBack {
        int64_t limit, seen = 0;
        explicit StopAfter(int64_t l) : limit(l) {}
        bool OnProgress(int64_t downloaded, int64_t, int64_t, int64_t) override {
            seen = downloaded;
            return downloaded < limit;
        }
    };
    std::string body;
    int64_t status = 0;
    StopAfter all(INT64_MAX);
    EXPECT_TRUE(Http()->HttpGetToBuffer(s_server->url("/files/big.bin"), body, status, &all, 5000, 20000, -1));
    EXPECT_EQ(all.seen, static_cast<int64_t>(body.size()));
    StopAfter early(1);
    EXPECT_FALSE(Http()->HttpGetToBuffer(s_server->url("/files/big.bin"), body, status, &early, 5000, 20000, -1));
    EXPECT_GE(early.seen, 1);
    // A callback that throws stops the transfer as its false would; nothing
    // leaves the call.
    struct Throws : pyn::IHttpCallBack {
        bool OnProgress(int64_t downloaded, int64_t, int64_t, int64_t) override {
            if (downloaded > 0) throw std::runtime_error("callback");
            return true;
        }
    } throws;
    EXPECT_FALSE(Http()->HttpGetToBuffer(s_server->url("/files/big.bin"), body, status, &throws, 5000, 20000, -1));
}

TEST_F(HttpTest, UntrustedCertificateIsRefused) {
    HttpTestServer tls(s_dir->file("www"), m_tmp.path(), true);
    ORVEX_REQUIRE_HTTP_SERVER(tls);
    std::string body;
    int64_t status = 0;
    EXPECT_FALSE(Http()->HttpGetToBuffer(tls.url("/files/hello.txt"), body, status, nullptr, 5000, 5000, -1));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(body, "");
}

TEST(UtilMiscLog, DebugLogWritesTheTextUpToAZeroByte) {
    TempDir tmp;
    orvextest::WriteScript(tmp.file("log.lua"),
                           "function orvexScriptMain()\n"
                           "  local r = orvexUtil.DebugLog('first\\0hidden')\n"
                           "  local ok, e = pcall(orvexUtil.DebugLog, '')\n"
                           "  local ok2, e2 = pcall(orvexUtil.DebugLog)\n"
                           "  return tostring(r) .. '|' .. e .. '|' .. e2\n"
                           "end\n");
    orvextest::LogCapture log;
    std::string result;
    std::thread runner([&] { CLuaEngineInterface::ExecLua(tmp.file("log.lua"), "", result, {}, false); });
    runner.join();
    EXPECT_EQ(result,
              "true|getLogBuffer error|argv error");
    auto records = log.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text, "first");
    EXPECT_EQ(records[0].level, pyn::PynLogInfo);
}

}  // namespace

namespace {

TEST(UtilMiscCodePage, AppPathStaysInTheLocalCodePage) {
    orvextest::TempDir tmp;
    orvextest::CodePageScope gbk("GBK");
    orvextest::AppDirScope app("/opt/agent-\xd6\xd0");  // "中" in GBK
    orvextest::WriteScript(tmp.file("cp.lua"),
                           "function orvexScriptMain()\n"
                           "  return orvexUtil.toHex(orvexUtil.GetAppPath()) .. '|' ..\n"
                           "         orvexUtil.toHex(orvexUtil.ConverStringToBuffer('\xe4\xb8\xad'))\n"
                           "end\n");
    std::string result;
    std::thread runner([&] { CLuaEngineInterface::ExecLua(tmp.file("cp.lua"), "", result, {}, false); });
    runner.join();
    EXPECT_EQ(result, "2f6f70742f6167656e742dd6d0|d6d0");
}

}  // namespace

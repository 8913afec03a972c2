// The orvex command, run as a separate process.
#include <gtest/gtest.h>

#include <filesystem>

#include "TestSupport.h"

using orvextest::RunCommand;
using orvextest::ShellQuote;
using orvextest::TempDir;

namespace {

std::string Cli() { return ShellQuote(ORVEX_CLI_PATH); }

TEST(Cli, RunPrintsTheResultAndExitsWithTheOutcome) {
    TempDir dir;
    orvextest::WriteScript(dir.file("s.lua"),
                           "function orvexScriptMain(a, b) return a .. '+' .. b end\n"
                           "function No() return false end\nlimit = 42\nt = {k = 'v', n = 5}\n");
    std::string out;
    EXPECT_EQ(RunCommand(Cli() + " run " + ShellQuote(dir.file("s.lua")) + " x y", &out), 0);
    EXPECT_EQ(out, "x+y\n");
    EXPECT_EQ(RunCommand(Cli() + " run --func No " + ShellQuote(dir.file("s.lua")), &out), 1);
    EXPECT_EQ(out, "\n");
    EXPECT_EQ(RunCommand(Cli() + " run --lock --func Missing " + ShellQuote(dir.file("s.lua")), &out), 1);
    EXPECT_EQ(out, "isfunction fail\n");
    EXPECT_EQ(RunCommand(Cli() + " var-int " + ShellQuote(dir.file("s.lua")) + " limit", &out), 0);
    EXPECT_EQ(out, "42\n");
    EXPECT_EQ(RunCommand(Cli() + " var-map " + ShellQuote(dir.file("s.lua")) + " t", &out), 0);
    EXPECT_EQ(out, "k\tv\nn\t5\n");
}

// The default log goes to standard error, a record a line: a line break in
// a script's text cannot forge a record of its own.
TEST(Cli, LogRecordsStayOnOneLine) {
    TempDir dir;
    orvextest::WriteScript(dir.file("log.lua"),
                           "function orvexScriptMain()\n"
                           "  return tostring(orvexUtil.DebugLog('ok\\n2026-01-01 00:00:00 2 SCManager:1 forged\\r'))\n"
                           "end\n");
    std::string err;
#ifdef _WIN32
    const char* onlyErrors = " 2>&1 >NUL";
#else
    const char* onlyErrors = " 2>&1 >/dev/null";
#endif
    EXPECT_EQ(RunCommand(Cli() + " run " + ShellQuote(dir.file("log.lua")) + onlyErrors, &err), 0);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find("ok\\n2026-01-01 00:00:00 2 SCManager:1 forged\\r\n"), std::string::npos) << err;
}

TEST(Cli, EncodeAndDecodeRoundTrip) {
    TempDir dir;
    const std::string source = "function orvexScriptMain() return 'from encoded' end\n";
    orvextest::WriteFile(dir.file("plain.lua"), source);
    const std::string enc = dir.file("enc.lua");
    ASSERT_EQ(RunCommand(Cli() + " encode -o " + ShellQuote(enc) + " " + ShellQuote(dir.file("plain.lua"))), 0);
    EXPECT_EQ(orvextest::ReadFile(enc), orvextest::Encode(source));
    std::string out;
    EXPECT_EQ(RunCommand(Cli() + " run --encoded " + ShellQuote(enc), &out), 0);
    EXPECT_EQ(out, "from encoded\n");
    EXPECT_EQ(RunCommand(Cli() + " decode " + ShellQuote(enc), &out), 0);
    EXPECT_EQ(out, source);
    // Through standard output the bytes arrive unchanged ("\n", not "\r\n").
    const std::string redirected = dir.file("out.lua");
    EXPECT_EQ(RunCommand(Cli() + " decode " + ShellQuote(enc) + " > " + ShellQuote(redirected)), 0);
    EXPECT_EQ(orvextest::ReadFile(redirected), source);
}

TEST(Cli, EncodedFormIsStandardBase64OfTheComplement) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs python3, which the Windows test machine does not have";
#endif
    TempDir dir;
    const std::string source = "function orvexScriptMain() return 'from encoded' end\n";
    orvextest::WriteFile(dir.file("plain.lua"), source);
    const std::string enc = dir.file("enc.lua");
    ASSERT_EQ(RunCommand(Cli() + " encode -o " + ShellQuote(enc) + " " + ShellQuote(dir.file("plain.lua"))), 0);
    std::string out;
    EXPECT_EQ(RunCommand("python3 -c 'import base64,sys; sys.stdout.buffer.write(bytes(b ^ 255 for b in "
                         "base64.b64decode(open(sys.argv[1], \"rb\").read())))' " + ShellQuote(enc), &out),
              0);
    EXPECT_EQ(out, source);
}

TEST(Cli, BadUsageAndUnreadableFilesExitTwo) {
    TempDir dir;
    std::string out;
    EXPECT_EQ(RunCommand(Cli() + " run " + ShellQuote(dir.file("missing.lua")) + " 2>&1", &out), 2);
    EXPECT_NE(out.find("cannot read script"), std::string::npos) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
    EXPECT_EQ(RunCommand(Cli() + " run --bogus x.lua 2>&1", &out), 2);
    EXPECT_NE(out.find("unknown option"), std::string::npos) << out;
    EXPECT_EQ(RunCommand(Cli() + " frobnicate 2>&1", &out), 2);
    EXPECT_EQ(RunCommand(Cli() + " 2>&1", &out), 2);
    EXPECT_EQ(RunCommand(Cli() + " decode " + ShellQuote(dir.file("missing")) + " 2>&1", &out), 2);
    orvextest::WriteFile(dir.file("notenc"), "%%%");
    EXPECT_EQ(RunCommand(Cli() + " decode " + ShellQuote(dir.file("notenc")) + " 2>&1", &out), 2);
    EXPECT_EQ(RunCommand(Cli() + " --help", &out), 0);
    for (const char* word : {"run", "var-int", "var-map", "encode", "decode", "--encoded", "--lock", "--func"})
        EXPECT_NE(out.find(word), std::string::npos) << word;
}

TEST(Cli, ModulesComeFromTheApplicationDirectory) {
    TempDir dir;
    std::filesystem::create_directories(dir.file("luascript"));
    orvextest::WriteScript(dir.file("luascript/greet.lua"), "return {text = 'from module'}", true);
    orvextest::WriteScript(dir.file("main.lua"),
                           "function orvexScriptMain() return orvexLoadLua.LoadModule('greet').text end");
    std::string out;
    EXPECT_EQ(RunCommand(Cli() + " --app-dir " + ShellQuote(dir.path()) + " run " + ShellQuote(dir.file("main.lua")),
                         &out),
              0);
    EXPECT_EQ(out, "from module\n");
}

TEST(Cli, TheLocalCodePageComesFromTheLocaleVariables) {
#if defined(_WIN32)
    GTEST_SKIP() << "on Windows the local code page is the ANSI code page; locale variables do not choose it";
#endif
    TempDir dir;
    orvextest::WriteScript(dir.file("len.lua"), "function orvexScriptMain(s) return #s end");
    const std::string run = " " + Cli() + " run " + ShellQuote(dir.file("len.lua")) + " $(printf '\\351')";
    std::string out;
    // LC_ALL wins over LC_CTYPE and LANG; Latin-1 e-acute arrives as two bytes.
    EXPECT_EQ(RunCommand("env -u LC_CTYPE LANG=C.UTF-8 LC_ALL=de_DE.ISO-8859-1" + run, &out), 0);
    EXPECT_EQ(out, "2\n");
    EXPECT_EQ(RunCommand("env -u LC_ALL LC_CTYPE=de_DE.ISO-8859-1@euro LANG=C.UTF-8" + run, &out), 0);
    EXPECT_EQ(out, "2\n");
    EXPECT_EQ(RunCommand("env -u LC_ALL -u LC_CTYPE LANG=de_DE.ISO-8859-1" + run, &out), 0);
    EXPECT_EQ(out, "2\n");
    // UTF-8, C and unset locales pass bytes unchanged.
    EXPECT_EQ(RunCommand("env LC_ALL=C" + run, &out), 0);
    EXPECT_EQ(out, "1\n");
    EXPECT_EQ(RunCommand("env -u LC_ALL -u LC_CTYPE -u LANG" + run, &out), 0);
    EXPECT_EQ(out, "1\n");
    // --code-page overrides the environment.
    EXPECT_EQ(RunCommand("env LC_ALL=C " + Cli() + " --code-page ISO-8859-1 run " + ShellQuote(dir.file("len.lua")) +
                             " $(printf '\\351')",
                         &out),
              0);
    EXPECT_EQ(out, "2\n");
}

}  // namespace

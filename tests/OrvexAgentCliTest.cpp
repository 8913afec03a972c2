// The orvex command's --agent option: components read from a JSON file,
// network messages and IPC writes recorded in a directory.
#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

using orvextest::ShellQuote;

int RunCli(const std::string& args, std::string* output) {
    return orvextest::RunCommand(ShellQuote(ORVEX_CLI_PATH) + " " + args + " 2>&1", output);
}

TEST(OrvexAgentCli, ScriptsSeeTheFileComponentsAndTheirCallsAreRecorded) {
    orvextest::TempDir dir;
    orvextest::WriteFile(dir.file("agent.json"),
                         R"({"config": {"VMid": "vm-7", "Uuid": "u-1", "IdentityIp": "10.1.2.3"},
                             "login": true, "recordDir": "records/out"})");
    orvextest::WriteScript(dir.file("s.lua"),
                           "function orvexScriptMain(a)\n"
                           "  return table.concat({orvexConfig.GetVMid(), orvexConfig.GetUuid(),\n"
                           "    orvexConfig.GetIdentityIp(), orvexConfig.GetPlatInfo(),\n"
                           "    tostring(orvexNetWork.IsLoginServer()),\n"
                           "    tostring(orvexNetWork.SendTcpMessage('t\\0x', a)),\n"
                           "    tostring(orvexIpc.WriteToClient('ui', '\\1\\255\"'))}, '|')\n"
                           "end\n");
    std::string out;
    EXPECT_EQ(RunCli("--agent " + ShellQuote(dir.file("agent.json")) + " run " + ShellQuote(dir.file("s.lua")) +
                         " hello",
                     &out),
              0);
    EXPECT_EQ(out, "vm-7|u-1|10.1.2.3||true|true|true\n");
    EXPECT_EQ(orvextest::ReadFile(dir.file("records/out/network.jsonl")),
              "{\"first\":\"t\\u0000x\",\"second\":\"hello\"}\n");
    EXPECT_EQ(orvextest::ReadFile(dir.file("records/out/ipc.jsonl")),
              "{\"client\":\"ui\",\"data\":\"\\u0001\xff\\\"\"}\n");
}

TEST(OrvexAgentCli, WithoutRecordDirectoryMessagesAreRefused) {
    orvextest::TempDir dir;
    orvextest::WriteFile(dir.file("agent.json"), "{}");
    orvextest::WriteScript(dir.file("s.lua"),
                           "function orvexScriptMain()\n"
                           "  return tostring(orvexNetWork.IsLoginServer()) .. tostring(orvexConfig.GetVMid())\n"
                           "    .. tostring(orvexNetWork.SendTcpMessage('a', 'b'))\n"
                           "    .. tostring(orvexIpc.WriteToClient('c', 'd'))\n"
                           "end\n");
    std::string out;
    EXPECT_EQ(RunCli("--agent " + ShellQuote(dir.file("agent.json")) + " run " + ShellQuote(dir.file("s.lua")), &out),
              0);
    EXPECT_EQ(out, "falsefalsefalse\n");
}

TEST(OrvexAgentCli, BadAgentFilesAreUsageErrors) {
    orvextest::TempDir dir;
    orvextest::WriteScript(dir.file("s.lua"), "function orvexScriptMain() return 'ran' end\n");
    const std::pair<const char*, const char*> cases[] = {
        {"{\"login\": 1}", "\"login\""},
        {"{\"config\": {\"VMId\": \"x\"}}", "\"VMId\""},
        {"{\"config\": {\"VMid\": 5}}", "\"VMid\""},
        {"[1]", "expected a JSON object"},
        {"{\"login\": tru", "offset"},
    };
    for (const auto& c : cases) {
        orvextest::WriteFile(dir.file("agent.json"), c.first);
        std::string out;
        EXPECT_EQ(RunCli("--agent " + ShellQuote(dir.file("agent.json")) + " run " + ShellQuote(dir.file("s.lua")),
                         &out),
                  2)
            << c.first;
        EXPECT_NE(out.find(c.second), std::string::npos) << out;
        EXPECT_EQ(out.find("ran"), std::string::npos) << out;
    }
    std::string out;
    EXPECT_EQ(RunCli("--agent " + ShellQuote(dir.file("missing.json")) + " run " + ShellQuote(dir.file("s.lua")), &out),
              2);
}

}  // namespace

// Every "- Example: `...`" line of docs/script-api.md runs: each example,
// with the prelude tests/fixtures/script_api_examples.lua gives it, on a
// thread of its own (a Lua state of its own), in a scratch directory that is
// also the application directory, with the loopback HTTP server, the test
// plug-in, stand-ins for the agent's components and a stand-in service
// manager. An example that raises an error, does not give the value it
// shows (`-->`) or does not do what it shows fails.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include <cctype>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "FakeServiceManager.h"
#include "LoopbackHttpServer.h"
#include "LuaEngineInterface.h"
#include "TestComponents.h"
#include "TestSupport.h"
#include "system/SCManager.h"

namespace fs = std::filesystem;

namespace {

const std::string kRunner = std::string(ORVEX_FIXTURE_DIR) + "/script_api_examples.lua";

struct Example {
    std::string key;   // "orvexUtil.IsFile": the library and the function it documents
    std::string code;  // the Lua between the backticks
    int line = 0;      // in docs/script-api.md
};

// The library of a section heading ("## orvexUtil: files ..." -> orvexUtil).
std::string FirstWord(const std::string& text) { return text.substr(0, text.find_first_of(" :")); }

std::vector<Example> ReadExamples() {
    std::ifstream in(std::string(ORVEX_SOURCE_DIR) + "/docs/script-api.md");
    std::vector<Example> examples;
    std::string line, library, function;
    const std::string marker = "- Example: `";
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("## ", 0) == 0) {
            library = FirstWord(line.substr(3));
            function.clear();
        } else if (line.rfind("### ", 0) == 0 || line.rfind("#### ", 0) == 0) {
            // "### RemoveFile(path), ..." or "### orvexProc.RefreshProcList(name)"
            std::string name = line.substr(line.find(' ') + 1);
            name = name.substr(0, name.find_first_of("( "));
            size_t dot = name.find('.');
            function = dot == std::string::npos ? name : name.substr(dot + 1);
            if (dot != std::string::npos) library = name.substr(0, dot);
        } else if (line.rfind(marker, 0) == 0) {
            size_t end = line.find('`', marker.size());
            Example e;
            e.key = function.empty() ? library : library + "." + function;
            e.code = line.substr(marker.size(), end == std::string::npos ? std::string::npos : end - marker.size());
            e.line = number;
            examples.push_back(e);
        }
    }
    return examples;
}

const std::vector<Example>& Examples() {
    static const std::vector<Example> examples = ReadExamples();
    return examples;
}

// Examples that end the process: run through the orvex command.
bool EndsTheProcess(const Example& e) { return e.key == "orvexUtil.Terminate"; }

std::string Token() {
#ifdef _WIN32
    return std::to_string(_getpid() % 1000000);
#else
    return std::to_string(getpid() % 1000000);
#endif
}

// The test plug-in, and a directory with the test child program under the
// names the process examples look for (links; copies on Windows).
struct Programs {
    std::string plugin, bin;
    explicit Programs(const orvextest::TempDir& dir) {
        const std::string suffix = fs::path(ORVEX_TEST_CHILD).extension().string();
        plugin = std::string(ORVEX_PLUGIN_DIR) + "/echo_plugin" +
#ifdef _WIN32
                 ".dll";
#else
                 ".so";
#endif
        bin = dir.file("bin");
        fs::create_directories(bin);
        for (const std::string& name : {std::string("updater"), "orvexdoc" + Token()}) {
#ifdef _WIN32
            fs::copy_file(ORVEX_TEST_CHILD, bin + "/" + name + suffix);
#else
            fs::create_symlink(ORVEX_TEST_CHILD, bin + "/" + name + suffix);
#endif
        }
    }
};

class ScriptReference : public ::testing::TestWithParam<size_t> {};

TEST_P(ScriptReference, ExampleRuns) {
    const Example& example = Examples()[GetParam()];
    SCOPED_TRACE("docs/script-api.md:" + std::to_string(example.line) + ": " + example.code);
#ifdef _WIN32
    orvextest::CodePageScope utf8("UTF-8");
#endif
    orvextest::TempDir root;
    const std::string scratch = root.file("app");
    fs::create_directories(scratch);
    fs::create_directories(root.file("served"));
    orvextest::WriteFile(root.file("served/rules.dat"), "deny all\n");
    Programs programs(root);

    std::unique_ptr<orvextest::HttpTestServer> server;
    std::string http;
    if (example.key.rfind("orvexUtil.Http", 0) == 0) {
        server.reset(new orvextest::HttpTestServer(root.file("served"), root.path()));
        ORVEX_REQUIRE_HTTP_SERVER(*server);
        http = server->url("");
    }
    const std::vector<std::string> args = {example.key, example.code, scratch,         http,
                                           programs.plugin, programs.bin, Token()};

    if (EndsTheProcess(example)) {
        std::string command = orvextest::ShellQuote(ORVEX_CLI_PATH) + " run " + orvextest::ShellQuote(kRunner);
        for (const std::string& a : args) command += " " + orvextest::ShellQuote(a);
        std::string output;
        EXPECT_EQ(orvextest::RunCommand(command, &output), 0);
        EXPECT_EQ(output, "") << "the process went on after the example";
        return;
    }

    orvextest::TestConfig config;
    config.vmid = "vm-0001";
    orvextest::TestNetWork net;
    net.login = true;
    orvextest::TestIpc ipc;
    orvextest::TestKorin korin;
    korin.startAnswers = {1};
    orvextest::TestWafRule rules;
    orvextest::ComponentScope components(&config, &net, &ipc, &korin, &rules);
    orvextest::FakeServiceManager services;
    services.services["orvexHelper"].path = "C:\\orvex\\helper.exe -service";
    orvex::SetServiceManager(&services);
    orvextest::AppDirScope appDir(scratch);
    orvextest::LogCapture log;  // what examples log stays out of the test's output

    std::string result;
    bool ok = false;
    std::thread([&] { ok = CLuaEngineInterface::ExecLua(kRunner, "", result, args, false); }).join();
    orvex::SetServiceManager(nullptr);
    EXPECT_TRUE(ok) << result;
    EXPECT_EQ(result, "ok");
}

INSTANTIATE_TEST_SUITE_P(Docs, ScriptReference, ::testing::Range<size_t>(0, Examples().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             std::string name = Examples()[info.param].key + "_" + std::to_string(info.param);
                             for (char& c : name)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

// The reference has its examples, and every prelude belongs to one of them.
TEST(ScriptReferenceExamples, EveryPreludeBelongsToAnExample) {
    ASSERT_GE(Examples().size(), 80u);
    std::string keys;
    std::thread([&] { CLuaEngineInterface::ExecLua(kRunner, "preludeKeys", keys, {}, false); }).join();
    ASSERT_FALSE(keys.empty());
    std::istringstream lines(keys);
    for (std::string key; std::getline(lines, key);) {
        bool found = false;
        for (const Example& e : Examples()) found = found || e.key == key;
        EXPECT_TRUE(found) << key << " has a prelude but no example";
    }
}

}  // namespace

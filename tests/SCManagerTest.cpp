// Service control sequences against the scripted service manager: the calls
// made, the pauses, the results and the log records.
#include <gtest/gtest.h>

#include "FakeServiceManager.h"
#include "LuaEngineInterface.h"
#include "system/SCManager.h"
#include "TestSupport.h"

namespace {

using orvextest::FakeServiceManager;
using Calls = std::vector<std::string>;

class SCManagerTest : public ::testing::Test {
protected:
    void SetUp() override { orvex::SetServiceManager(&sc); }
    void TearDown() override {
        orvex::SetServiceManager(nullptr);
        EXPECT_EQ(sc.OpenHandles(), 0) << "a handle stayed open";
    }

    // Texts of the records, after checking that each is a level-2 SCManager record.
    std::vector<std::string> Logged() const {
        std::vector<std::string> texts;
        for (const auto& r : log.records()) {
            EXPECT_EQ(r.level, 2) << r.text;
            EXPECT_EQ(r.source, "SCManager") << r.text;
            EXPECT_GT(r.line, 0) << r.text;
            texts.push_back(r.text);
        }
        return texts;
    }
    void AddService(const std::string& name, uint32_t state) { sc.services[name].state = state; }

    FakeServiceManager sc;
    orvextest::LogCapture log;
};

const Calls kExistsCalls = {"OpenManager", "Open svc", "Close", "Close"};
const Calls kStartCalls = {"OpenManager", "Open svc", "Start svc", "Close", "Close"};

Calls Join(std::initializer_list<Calls> parts) {
    Calls all;
    for (const Calls& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST_F(SCManagerTest, InstallCreatesWithFixedValuesAndStarts) {
    EXPECT_TRUE(orvex::InstallService("svc", "Display", "C:\\a b\\svc.exe -x", 0));
    EXPECT_EQ(sc.calls, Join({{"OpenManager", "Create svc", "Close", "Close"}, kStartCalls}));
    EXPECT_EQ(sc.lastManagerAccess, 0x000F003Fu);
    EXPECT_EQ(sc.lastCreate.displayName, "Display");
    EXPECT_STREQ(sc.lastCreate.binaryPath, "C:\\a b\\svc.exe -x");
    EXPECT_EQ(sc.lastCreate.access, 0x000F01FFu);
    EXPECT_EQ(sc.lastCreate.serviceType, 0x110u);
    EXPECT_EQ(sc.lastCreate.startType, 2u);
    EXPECT_EQ(sc.lastCreate.errorControl, 0u);
    EXPECT_EQ(sc.lastServiceAccess, 0x000F01FFu);
    EXPECT_EQ(sc.services["svc"].state, FakeServiceManager::kRunning);
    EXPECT_TRUE(Logged().empty());

    sc.services.clear();
    EXPECT_TRUE(orvex::InstallService("svc", "svc", "p", 0x10));
    EXPECT_EQ(sc.lastCreate.serviceType, 0x10u);
}

TEST_F(SCManagerTest, InstallOfAnExistingServiceKeepsItAndStartsIt) {
    sc.services["svc"].path = "old";
    EXPECT_TRUE(orvex::InstallService("svc", "svc", "new", 0));
    EXPECT_EQ(sc.services["svc"].path, "old");
    EXPECT_EQ(sc.services["svc"].state, FakeServiceManager::kRunning);
    // Already running: 1056 counts as started.
    sc.calls.clear();
    EXPECT_TRUE(orvex::InstallService("svc", "svc", "new", 0));
    EXPECT_EQ(sc.calls, Join({{"OpenManager", "Create svc", "Close"}, kStartCalls}));
    // A pending creation (997) counts as created.
    sc.FailNext("Create", 997);
    EXPECT_TRUE(orvex::InstallService("svc", "svc", "new", 0));
    EXPECT_TRUE(Logged().empty());
}

TEST_F(SCManagerTest, InstallFailures) {
    EXPECT_FALSE(orvex::InstallService("svc", "svc", nullptr, 0));
    EXPECT_TRUE(sc.calls.empty());

    sc.FailNext("OpenManager", 5);
    EXPECT_FALSE(orvex::InstallService("svc", "svc", "p", 0));
    sc.FailNext("Create", 1078);
    EXPECT_FALSE(orvex::InstallService("svc", "svc", "p", 0));
    EXPECT_EQ(sc.calls, (Calls{"OpenManager", "OpenManager", "Create svc", "Close"}));

    // A refused start is not logged; the service stays installed.
    sc.FailNext("Start", 1053);
    EXPECT_FALSE(orvex::InstallService("svc", "svc", "bad.exe", 0));
    EXPECT_EQ(sc.services.count("svc"), 1u);
    EXPECT_EQ(Logged(), (std::vector<std::string>{"OpenSCManager Faile: 5", "CreateServiceA Fail : 1078"}));
}

TEST_F(SCManagerTest, StartAndStopOfOneService) {
    EXPECT_FALSE(orvex::StartServiceByName("svc"));
    sc.FailNext("OpenManager", 5);
    EXPECT_FALSE(orvex::StopService("svc"));
    AddService("svc", FakeServiceManager::kStopped);
    EXPECT_TRUE(orvex::StartServiceByName("svc"));
    EXPECT_TRUE(orvex::StartServiceByName("svc"));  // 1056
    sc.calls.clear();
    EXPECT_TRUE(orvex::StopService("svc"));
    EXPECT_EQ(sc.calls, (Calls{"OpenManager", "Open svc", "Query svc", "Control svc 1", "Close", "Close"}));
    // Not running: nothing is sent.
    sc.calls.clear();
    EXPECT_TRUE(orvex::StopService("svc"));
    EXPECT_EQ(sc.calls, (Calls{"OpenManager", "Open svc", "Query svc", "Close", "Close"}));
    sc.FailNext("Query", 6);
    EXPECT_FALSE(orvex::StopService("svc"));
    sc.services["svc"].state = FakeServiceManager::kRunning;
    sc.FailNext("Control", 1061);
    EXPECT_FALSE(orvex::StopService("svc"));
    EXPECT_EQ(Logged(), (std::vector<std::string>{"OpenServiceA Fail : 1060", "OpenSCManager Fail : 5",
                                                  "QueryServiceStatus Fail : 6", "ControlService Fail : 1061"}));
}

TEST_F(SCManagerTest, UninstallStopsARunningServiceBeforeDeleting) {
    AddService("svc", FakeServiceManager::kRunning);
    EXPECT_TRUE(orvex::UninstallService("svc"));
    EXPECT_EQ(sc.calls, (Calls{"OpenManager", "Open svc", "Query svc", "Control svc 1", "Sleep 5", "Delete svc",
                               "Close", "Close"}));
    EXPECT_EQ(sc.services.count("svc"), 0u);

    AddService("svc", FakeServiceManager::kStopPending);
    sc.calls.clear();
    sc.FailNext("Delete", 1072);
    EXPECT_FALSE(orvex::UninstallService("svc"));  // not logged
    EXPECT_EQ(sc.calls, (Calls{"OpenManager", "Open svc", "Query svc", "Delete svc", "Close", "Close"}));
    sc.services["svc"].state = FakeServiceManager::kRunning;
    sc.FailNext("Control", 1061);
    EXPECT_FALSE(orvex::UninstallService("svc"));
    EXPECT_EQ(sc.services.count("svc"), 1u);
    EXPECT_EQ(Logged(), (std::vector<std::string>{"ControlService Fail : 1061"}));
}

TEST_F(SCManagerTest, ReinstallOfAMissingServiceWaitsThenInstalls) {
    EXPECT_TRUE(orvex::ReinstallService("svc", "svc", "p", 0));
    EXPECT_EQ(sc.calls, Join({{"OpenManager", "Open svc", "Close", "Sleep 300", "OpenManager", "Create svc", "Close",
                               "Close"},
                              kStartCalls}));
    EXPECT_TRUE(Logged().empty());
}

TEST_F(SCManagerTest, ReinstallOfARunningServiceWhoseCreationFails) {
    AddService("svc", FakeServiceManager::kRunning);
    sc.stateAfterStop = FakeServiceManager::kStopPending;
    sc.deletionOnlyMarks = true;
    EXPECT_FALSE(orvex::ReinstallService("svc", "svc", "p", 0));
    EXPECT_EQ(sc.calls, Join({kExistsCalls,
                              {"OpenManager", "Open svc", "Query svc", "Control svc 1", "Close", "Close"},
                              {"OpenManager", "Open svc", "Query svc", "Delete svc", "Close", "Close"},
                              {"Sleep 300", "OpenManager", "Create svc", "Close"}}));
    EXPECT_EQ(Logged(), (std::vector<std::string>{"CreateServiceA Fail : 1072", "InstallService Fail : svc, error:1072"}));

    // Once the old one is gone, the same call succeeds.
    sc.ForgetMarked();
    EXPECT_TRUE(orvex::ReinstallService("svc", "svc", "p", 0));
}

TEST_F(SCManagerTest, ReinstallSendsTheStopAgainWhileTheServiceStillRuns) {
    AddService("svc", FakeServiceManager::kRunning);
    sc.stateAfterStop = FakeServiceManager::kRunning;
    EXPECT_TRUE(orvex::ReinstallService("svc", "svc", "p", 0));
    EXPECT_EQ(sc.calls, Join({kExistsCalls,
                              {"OpenManager", "Open svc", "Query svc", "Control svc 1", "Close", "Close"},
                              {"OpenManager", "Open svc", "Query svc", "Control svc 1", "Sleep 5", "Delete svc",
                               "Close", "Close"},
                              {"Sleep 300", "OpenManager", "Create svc", "Close", "Close"},
                              kStartCalls}));
}

TEST_F(SCManagerTest, ReinstallStopsAtAFailedStopOrDeletion) {
    AddService("svc", FakeServiceManager::kRunning);
    sc.FailNext("Control", 1061);
    EXPECT_FALSE(orvex::ReinstallService("svc", "svc", "p", 0));
    sc.FailNext("Delete", 1072);
    EXPECT_FALSE(orvex::ReinstallService("svc", "svc", "p", 0));
    EXPECT_EQ(sc.calls.back(), "Close");
    EXPECT_EQ(std::count(sc.calls.begin(), sc.calls.end(), "Sleep 300"), 0);
    EXPECT_EQ(Logged(), (std::vector<std::string>{"ControlService Fail : 1061", "StopServer Fail: svc, error: 1061",
                                                  "UninstallService Fail : svc, error: 1072"}));
}

TEST_F(SCManagerTest, Restart) {
    EXPECT_FALSE(orvex::RestartService("svc"));
    EXPECT_EQ(sc.calls, (Calls{"OpenManager", "Open svc", "Close"}));  // no start attempt

    AddService("svc", FakeServiceManager::kStopped);
    sc.calls.clear();
    EXPECT_TRUE(orvex::RestartService("svc"));
    EXPECT_EQ(sc.calls, Join({kExistsCalls, {"OpenManager", "Open svc", "Query svc", "Close", "Close", "Sleep 300"},
                              kStartCalls}));
    EXPECT_EQ(sc.services["svc"].state, FakeServiceManager::kRunning);

    sc.FailNext("Control", 1061);
    EXPECT_FALSE(orvex::RestartService("svc"));
    EXPECT_EQ(sc.calls.back(), "Close");
    EXPECT_EQ(Logged(), (std::vector<std::string>{"IsServer false : svc", "ControlService Fail : 1061",
                                                  "StopService false : svc, error: 1061"}));
}

TEST_F(SCManagerTest, ScriptFunctionsPassTheNameTwiceInTheLocalCodePage) {
    orvextest::CodePageScope gbk("GBK");
    orvextest::TempDir dir;
    const std::string script = dir.file("svc.lua");
    orvextest::WriteScript(script,
                           "function orvexScriptMain()\n"
                           "  return tostring(orvexWindows.winInstallService('\xe6\x9c\x8d\xe5\x8a\xa1', 'C:\\\\s.exe -k'))\n"
                           "    .. tostring(orvexWindows.winRStartService('\xe6\x9c\x8d\xe5\x8a\xa1'))\n"
                           "    .. tostring(orvexWindows.winRInstallService('other', 'x'))\n"
                           "end\n");
    std::string result;
    EXPECT_TRUE(CLuaEngineInterface::ExecLua(script, "", result, {}, false));
    EXPECT_EQ(result, "truetruetrue");
    const std::string gbkName = "\xb7\xfe\xce\xf1";
    ASSERT_EQ(sc.services.count(gbkName), 1u);
    EXPECT_EQ(sc.services[gbkName].path, "C:\\s.exe -k");
    EXPECT_EQ(sc.lastCreate.name, "other");
    EXPECT_EQ(sc.lastCreate.displayName, "other");
    EXPECT_EQ(sc.lastCreate.serviceType, 0x110u);
    EXPECT_EQ(std::count(sc.calls.begin(), sc.calls.end(), "Sleep 300"), 2);
}

// The manager would read them only up to the zero: another program, another
// service.
TEST_F(SCManagerTest, ScriptNamesAndPathsWithAZeroByteAreRefused) {
    orvextest::TempDir dir;
    const std::string script = dir.file("svc.lua");
    orvextest::WriteScript(script,
                           "function orvexScriptMain()\n"
                           "  return tostring(orvexWindows.winInstallService('svc', 'C:\\\\s.exe\\0 -x'))\n"
                           "    .. tostring(orvexWindows.winRInstallService('svc\\0x', 'C:\\\\s.exe'))\n"
                           "    .. tostring(orvexWindows.winRStartService('svc\\0x'))\n"
                           "end\n");
    std::string result;
    EXPECT_TRUE(CLuaEngineInterface::ExecLua(script, "", result, {}, false));
    EXPECT_EQ(result, "falsefalsefalse");
    EXPECT_TRUE(sc.services.empty());
    EXPECT_TRUE(sc.calls.empty());
}

TEST(SCManagerUnavailable, EveryOperationFailsAsWithoutAManager) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has a service manager (SCManagerSystemTest drives the real one)";
#endif
    orvextest::LogCapture log;
    EXPECT_FALSE(orvex::ServiceExists("svc"));
    EXPECT_FALSE(orvex::InstallService("svc", "svc", "p", 0));
    EXPECT_FALSE(orvex::StartServiceByName("svc"));
    EXPECT_FALSE(orvex::RestartService("svc"));
    std::vector<std::string> texts;
    for (const auto& r : log.records()) texts.push_back(r.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"OpenSCManager Faile: 120", "OpenSCManager Fail : 120",
                                               "IsServer false : svc"}));
}

}  // namespace

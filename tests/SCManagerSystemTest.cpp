// The service control operations against the system's real service manager
// (Windows, and Wine's service manager where the tests run under Wine), with
// the small service that the test build makes.
#ifdef _WIN32
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "TestSupport.h"
#include "pyn/ServiceManager.h"
#include "system/SCManager.h"

namespace {

constexpr uint32_t kAllAccess = 0x000F003F;
constexpr uint32_t kServiceAllAccess = 0x000F01FF;

// The service program's path as the service manager stores it.
std::string ServicePath(const std::string& arguments = std::string()) {
    std::string path = ORVEX_TEST_SERVICE;
    std::replace(path.begin(), path.end(), '/', '\\');
    return "\"" + path + "\"" + (arguments.empty() ? std::string() : " " + arguments);
}

// Current state of `name` (0 when it cannot be read).
uint32_t StateOf(const std::string& name) {
    pyn::IServiceManager& sm = pyn::GetSystemServiceManager();
    pyn::IServiceManager::Handle manager = sm.OpenManager(kAllAccess);
    if (!manager) return 0;
    uint32_t state = 0;
    if (pyn::IServiceManager::Handle service = sm.Open(manager, name, kServiceAllAccess)) {
        if (!sm.QueryState(service, &state)) state = 0;
        sm.Close(service);
    }
    sm.Close(manager);
    return state;
}

bool WaitForState(const std::string& name, uint32_t state) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (StateOf(name) != state) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Stops and deletes `name`, whatever state the test left it in.
void Remove(const std::string& name) {
    if (!orvex::ServiceExists(name)) return;
    orvex::StopService(name);
    WaitForState(name, SERVICE_STOPPED);
    orvex::UninstallService(name);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (orvex::ServiceExists(name) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

class SCManagerSystemTest : public ::testing::Test {
protected:
    void SetUp() override {
        name = "orvexTestService" + std::to_string(GetCurrentProcessId());
        Remove(name);
    }
    void TearDown() override { Remove(name); }

    std::string name;
};

TEST_F(SCManagerSystemTest, InstallStartStopAndRestartARealService) {
    pyn::IServiceManager& sm = pyn::GetSystemServiceManager();
    const std::string path = ServicePath(name);
    ASSERT_TRUE(orvex::InstallService(name, name, path.c_str(), 0));
    EXPECT_TRUE(orvex::ServiceExists(name));
    ASSERT_TRUE(WaitForState(name, SERVICE_RUNNING));

    // The primitives report the two errors the operations pass over.
    pyn::IServiceManager::Handle manager = sm.OpenManager(kAllAccess);
    ASSERT_NE(manager, nullptr);
    pyn::IServiceManager::CreateParams params;
    params.name = params.displayName = name;
    params.binaryPath = path.c_str();
    params.access = kServiceAllAccess;
    params.serviceType = 0x110;
    params.startType = SERVICE_AUTO_START;
    EXPECT_EQ(sm.Create(manager, params), nullptr);
    EXPECT_EQ(sm.LastError(), 1073u);  // exists already
    pyn::IServiceManager::Handle service = sm.Open(manager, name, kServiceAllAccess);
    ASSERT_NE(service, nullptr);
    EXPECT_FALSE(sm.Start(service));
    EXPECT_EQ(sm.LastError(), 1056u);  // runs already
    sm.Close(service);
    sm.Close(manager);

    orvextest::LogCapture log;
    // A second install of a running service: nothing created, still true.
    EXPECT_TRUE(orvex::InstallService(name, name, path.c_str(), 0));
    EXPECT_TRUE(orvex::StartServiceByName(name));

    EXPECT_TRUE(orvex::StopService(name));
    ASSERT_TRUE(WaitForState(name, SERVICE_STOPPED));
    // Stopping a stopped service sends nothing and succeeds.
    EXPECT_TRUE(orvex::StopService(name));

    // Restart of a stopped service starts it.
    EXPECT_TRUE(orvex::RestartService(name));
    ASSERT_TRUE(WaitForState(name, SERVICE_RUNNING));
    // Restart of a running one: stop, 300 ms, start.
    EXPECT_TRUE(orvex::RestartService(name));
    EXPECT_TRUE(WaitForState(name, SERVICE_RUNNING));
    EXPECT_TRUE(log.records().empty()) << log.records().front().text;
}

TEST_F(SCManagerSystemTest, ReinstallOfARunningService) {
    const std::string path = ServicePath(name);
    ASSERT_TRUE(orvex::InstallService(name, name, path.c_str(), 0));
    ASSERT_TRUE(WaitForState(name, SERVICE_RUNNING));

    orvextest::LogCapture log;
    const bool reinstalled = orvex::ReinstallService(name, name, path.c_str(), 0);
    if (reinstalled) {
        EXPECT_TRUE(log.records().empty()) << log.records().front().text;
        EXPECT_TRUE(WaitForState(name, SERVICE_RUNNING));
    } else {
        // The old service was still only marked for deletion when the new
        // one was to be created.
        EXPECT_TRUE(log.contains("CreateServiceA Fail : 1072"));
        EXPECT_TRUE(log.contains("InstallService Fail : " + name));
    }
}

TEST_F(SCManagerSystemTest, AProgramThatIsNoServiceFailsToStart) {
    const std::string path = ServicePath("plain");
    orvextest::LogCapture log;
    EXPECT_FALSE(orvex::InstallService(name, name, path.c_str(), 0));
    // Installed all the same; the refused start is not logged.
    EXPECT_TRUE(orvex::ServiceExists(name));
    EXPECT_NE(StateOf(name), static_cast<uint32_t>(SERVICE_RUNNING));
    EXPECT_TRUE(log.records().empty()) << log.records().front().text;
}

TEST_F(SCManagerSystemTest, RestartOfAMissingServiceOnlyLogs) {
    const std::string missing = name + "Missing";
    orvextest::LogCapture log;
    EXPECT_FALSE(orvex::ServiceExists(missing));
    EXPECT_FALSE(orvex::RestartService(missing));
    ASSERT_EQ(log.records().size(), 1u);
    EXPECT_EQ(log.records()[0].text, "IsServer false : " + missing);
    EXPECT_EQ(log.records()[0].level, 2);
    EXPECT_FALSE(orvex::ServiceExists(missing));
}

}  // namespace
#endif  // _WIN32

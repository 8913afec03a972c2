// Host libraries called from many threads at once: components installed and
// removed while scripts run, the resolver, and the service operations.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "LuaEngineInterface.h"
#include "TestComponents.h"
#include "TestSupport.h"

namespace {

TEST(HostLibsConcurrency, ScriptsOnManyThreadsShareTheComponents) {
    orvextest::TempDir dir;
    orvextest::WriteScript(dir.file("host.lua"),
                           "function orvexScriptMain(id)\n"
                           "  local n = 0\n"
                           "  for i = 1, 20 do\n"
                           "    local vm = orvexConfig.GetVMid()\n"
                           "    if vm ~= nil and vm ~= 'vm' then return 'bad vm ' .. vm end\n"
                           "    if orvexNetWork.SendTcpMessage(id, tostring(i)) then n = n + 1 end\n"
                           "    if orvexNetWork.GetAllIpByDomain('127.0.0.1')[1] ~= '127.0.0.1' then return 'resolve' end\n"
                           "    orvexWindows.winRStartService('orvexNoSuchService')\n"
                           "  end\n"
                           "  return tostring(n)\n"
                           "end\n");
    orvextest::TestConfig config;
    config.vmid = "vm";
    orvextest::TestNetWork net;
    std::atomic<int> sentSeen{0};
    orvextest::LogCapture log;
    {
        orvextest::ComponentScope scope(&config, &net, nullptr, nullptr, nullptr);
        std::vector<std::thread> threads;
        for (int t = 0; t < 6; ++t) {
            threads.emplace_back([&, t] {
                std::string result;
                EXPECT_TRUE(CLuaEngineInterface::ExecLua(dir.file("host.lua"), "", result, {std::to_string(t)}, false));
                EXPECT_EQ(result, "20");
                sentSeen += std::atoi(result.c_str());
            });
        }
        for (auto& th : threads) th.join();
    }
    EXPECT_EQ(sentSeen.load(), 120);
    EXPECT_EQ(net.Sent().size(), 120u);
    // No service manager here: every restart finds no service.
    const auto records = log.records();
    EXPECT_EQ(records.size(), 120u);
    for (const auto& r : records) EXPECT_EQ(r.text, "IsServer false : orvexNoSuchService");
}

}  // namespace

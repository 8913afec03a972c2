// The host libraries with recording components installed: what the scripts
// get back (checked in tests/lua/host_components.lua) and what reaches the
// components (checked here).
#include <gtest/gtest.h>

#include "LuaEngineInterface.h"
#include "TestComponents.h"
#include "TestSupport.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(HostComponents, ScriptsReachTheInstalledComponents) {
    orvextest::CodePageScope gbk("GBK");
    orvextest::TestConfig config;
    config.vmid = "vm-1";
    config.biosUuid = "bios-uuid";
    config.identityIp = "10.0.0.5";
    config.platInfo = "\xd6\xd0\xce\xc4\xc6\xbd\xcc\xa8";  // GBK
    config.serviceIp = "10.0.0.1";
    config.uuid = std::string("abc\0def", 7);
    orvextest::TestNetWork net;
    net.login = true;
    orvextest::TestIpc ipc;
    orvextest::TestKorin korin;
    korin.startAnswers = {-5, 0};
    korin.stopAnswer = true;
    orvextest::TestWafRule rules;
    rules.answer = true;

    std::string result;
    {
        orvextest::ComponentScope scope(&config, &net, &ipc, &korin, &rules);
        EXPECT_TRUE(CLuaEngineInterface::ExecLua(std::string(ORVEX_TEST_LUA_DIR) + "/host_components.lua", "",
                                                 result, {ORVEX_TEST_LUA_DIR}, false));
    }
    EXPECT_EQ(result, "ok");

    // The first text as the script's UTF-8 bytes, zero byte included; the
    // second in the local code page.
    EXPECT_EQ(net.Sent(), (Pairs{{std::string("k\0\xe4\xb8\xad", 5), "\xd6\xb5"}, {"7", "8"}}));
    // The client name in the local code page, the data byte for byte.
    EXPECT_EQ(ipc.Writes(), (Pairs{{"\xbf\xcd\xbb\xa7\xb6\xcb", std::string("\0\xff\x01x", 4)}}));
    EXPECT_EQ(korin.Calls(),
              (std::vector<std::string>{"StartKorin", "StartKorin", "StopKorin", "UnInstallAllModules"}));
    EXPECT_EQ(rules.Pulls(), 1);

    // The slots are empty again.
    EXPECT_EQ(pyn::CSingleton<COrvexConfig>::GetInstance(), nullptr);
    EXPECT_EQ(CKorinMgr::GetInstance(), nullptr);
}

}  // namespace

// The one HTTP client serves script threads transferring at the same time.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "LoopbackHttpServer.h"
#include "LuaEngineInterface.h"
#include "pyn/HttpUtil.h"

namespace {

TEST(HttpConcurrency, OneSharedClientServesManyThreads) {
    orvextest::TempDir dir;
    std::filesystem::create_directory(dir.file("www"));
    // Letters only: a script gets response bodies as text, converted from the
    // local code page, which changes other bytes where that is not UTF-8.
    std::string data(1 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + (i * 13 + (i >> 10)) % 26);
    orvextest::WriteFile(dir.file("www/data.bin"), data);
    orvextest::HttpTestServer server(dir.file("www"), dir.path());
    ORVEX_REQUIRE_HTTP_SERVER(server);
    // Each thread checks its own downloads from a script of its own.
    orvextest::WriteScript(dir.file("get.lua"),
                           "function orvexScriptMain(url, expected)\n"
                           "  local want = io.open(expected, 'rb'):read('*a')\n"
                           "  local good = 0\n"
                           "  for i = 1, 3 do\n"
                           "    if orvexUtil.HttpGetToBuffer(url) == want then good = good + 1 end\n"
                           "    local ok, status, reply = orvexUtil.HttpPostFromBuffer(url:gsub('/files/.*', '/echo'), want)\n"
                           "    if ok and status == '200' and reply == want then good = good + 1 end\n"
                           "  end\n"
                           "  return good\n"
                           "end\n");
    pyn::CHttpUtil* first = pyn::CSingleton<pyn::CHttpUtil>::GetInstance();
    std::vector<std::thread> threads;
    std::vector<std::string> results(6);
    std::vector<pyn::CHttpUtil*> instances(results.size());
    for (size_t t = 0; t < results.size(); ++t) {
        threads.emplace_back([&, t] {
            instances[t] = pyn::CSingleton<pyn::CHttpUtil>::GetInstance();
            CLuaEngineInterface::ExecLua(dir.file("get.lua"), "", results[t],
                                         {server.url("/files/data.bin"), dir.file("www/data.bin")}, false);
        });
    }
    for (auto& th : threads) th.join();
    for (size_t t = 0; t < results.size(); ++t) {
        EXPECT_EQ(results[t], "6") << "thread " << t;
        EXPECT_EQ(instances[t], first);
    }
}

}  // namespace

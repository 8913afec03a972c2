// The process object is shared by every script thread: concurrent commands
// each get their own output.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "pyn/ProcessUtil.h"

TEST(ProcessConcurrency, CommandsOnManyThreadsKeepTheirOutput) {
    const int kThreads = 4;
    const int kRuns = 8;
    std::vector<int> wrong(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &wrong] {
            pyn::IProcessUtil* util = pyn::GetProcessUtil();
            for (int i = 0; i < kRuns; ++i) {
                std::string tag = std::to_string(t) + ":" + std::to_string(i);
#if defined(_WIN32)
                // Windows has no echo program; cmd.exe's echo ends lines with CR LF.
                if (util->ExecCommandWithArgs(ORVEX_TEST_CHILD, {"print", tag}, 10000, -1, -1, 0) != tag) ++wrong[t];
                const std::string lineEnd = "\r\n";
#else
                if (util->ExecCommandWithArgs("echo", {tag}, 10000, -1, -1, 0) != tag + "\n") ++wrong[t];
                const std::string lineEnd = "\n";
#endif
                std::string out;
                if (util->ExecCommandLine("echo " + tag, out) != 0 || out != tag + lineEnd) ++wrong[t];
                if (util->GetProcessIdByName("no-such-process-name").size() != 0) ++wrong[t];
            }
        });
    }
    for (std::thread& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(wrong[t], 0) << "thread " << t;
}

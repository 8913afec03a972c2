// Every script function with arguments of every kind (tests/lua/
// sweep_cases.lua): each call comes back, nothing crashes, and the
// sanitizer builds see every access. All libraries without the agent's
// components, then the four host libraries again with them installed, since
// these take other paths then.
#include <gtest/gtest.h>

#include <filesystem>

#include "LuaEngineInterface.h"
#include "TestComponents.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
const char kIsWindows[] = "1";
#else
const char kIsWindows[] = "0";
#endif

std::string Sweep(const std::string& scratch, const std::string& only) {
    // Numbers given as paths name files in the current directory: keep them
    // in the scratch directory.
    orvextest::CurrentDirScope cwd(scratch);
    orvextest::LogCapture quiet;
    std::string result;
    EXPECT_TRUE(CLuaEngineInterface::ExecLua(std::string(ORVEX_TEST_LUA_DIR) + "/sweep_cases.lua", "", result,
                                             {scratch, kIsWindows, only}, false))
        << result;
    return result;
}

TEST(ScriptSweep, EveryFunctionComesBackFromArgumentsOfEveryKind) {
    orvextest::TempDir bare;
    const std::string all = Sweep(bare.path(), "");
    EXPECT_EQ(all.rfind("libraries 15 calls ", 0), 0u) << all;

    orvextest::InstalledComponents components;
    orvextest::TempDir installed;
    const std::string host = Sweep(installed.path(), "orvexConfig orvexNetWork orvexIpc orvexKorin");
    EXPECT_EQ(host.rfind("libraries 4 calls ", 0), 0u) << host;
    EXPECT_FALSE(components.ipc.Writes().empty());
}

}  // namespace

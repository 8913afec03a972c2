// A host that embeds orvexLuaEngine: installs a configuration component,
// runs a script's entry function with the given arguments and prints the
// outcome and the result text.
//
//   orvex_example_host SCRIPT [ARG...]
//
// Built against an installed library, through find_package (CMakeLists.txt
// here) or pkg-config:
//   c++ -std=c++17 main.cpp $(pkg-config --cflags --libs orvexLuaEngine)
#include <cstdio>
#include <string>
#include <vector>

#include <orvexLuaEngine/LuaEngineInterface.h>
#include "AgentComponents.h"
#include "OrvexHost.h"

namespace {

// What scripts read through orvexConfig.
class HostConfig : public COrvexConfig {
public:
    std::string GetVMid() override { return "example-host"; }
    std::string GetBiosUuid() override { return ""; }
    std::string GetIdentityIp() const override { return "127.0.0.1"; }
    std::string GetPlatInfo() override { return "example"; }
    std::string GetCurrentVersion() override { return "1.0"; }
    std::string GetServiceIp() override { return ""; }
    std::string GetUuid() override { return ""; }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SCRIPT [ARG...]\n", argv[0]);
        return 2;
    }
    // A host setting (OrvexHost.h): no run may take longer than 10 s.
    orvexSetRunTimeLimit(10000);
    // The component lives as long as scripts may call it: here, the process.
    static HostConfig config;
    pyn::CSingleton<COrvexConfig>::SetInstance(&config);

    const std::vector<std::string> args(argv + 2, argv + argc);
    std::string result;
    const bool ok = CLuaEngineInterface::ExecLua(argv[1], "", result, args, false);
    std::printf("%s: %s\n", ok ? "true" : "false", result.c_str());
    return ok ? 0 : 1;
}

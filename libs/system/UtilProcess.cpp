// orvexUtil: commands and processes. StartProcess and Terminate call
// pyn::CToolUtil; the command functions call the process object.
#include <vector>

#include "ScriptBinding.h"
#include "UtilWrapper.h"
#include "pyn/ProcessUtil.h"
#include "pyn/ToolUtil.h"

namespace orvex {
namespace util {
namespace {

// Arguments `first` to the last, each read as text; empty ones are kept.
std::vector<std::string> TextArgsFrom(lua_State* L, int first) {
    std::vector<std::string> texts;
    int last = lua_gettop(L);
    if (last >= first) texts.reserve(static_cast<size_t>(last - first + 1));
    for (int i = first; i <= last; ++i) texts.push_back(GetStringArg(L, i));
    return texts;
}

// ExecCommand and ExecCommandReadAll: command (1), time-out in ms (2), and
// the program's arguments from `firstArg` on.
int RunCommand(lua_State* L, int firstArg) {
    CheckMinArgCount(L, 2);
    std::string command = RequireStringArg(L, 1);
    int timeoutMs = GetIntArg(L, 2);
    std::vector<std::string> args = TextArgsFrom(L, firstArg);
    PushBytes(L, pyn::GetProcessUtil()->ExecCommandWithArgs(command, args, timeoutMs, -1, -1, 0));
    return 1;
}

}  // namespace

// Arguments are ignored.
int Terminate(lua_State*) { pyn::CToolUtil::Terminate(); }

int StartProcess(lua_State* L) {
    CheckMinArgCount(L, 1);
    std::string program = RequireStringArg(L, 1);
    std::string workDir = lua_gettop(L) >= 2 ? GetStringArg(L, 2) : std::string();
    std::vector<std::string> args = TextArgsFrom(L, 3);
    PushBool(L, pyn::CToolUtil::StartProcess(program, workDir, args, nullptr));
    return 1;
}

int ExecCommand(lua_State* L) { return RunCommand(L, 3); }

// The third argument is read by nobody; the program's arguments start at 4.
int ExecCommandReadAll(lua_State* L) { return RunCommand(L, 4); }

int Exec(lua_State* L) {
    CheckArgCount(L, 1);
    std::string commandLine = RequireStringArg(L, 1);
    std::string output;
    pyn::GetProcessUtil()->ExecCommandLine(commandLine, output);
    PushText(L, output);
    return 1;
}

}  // namespace util
}  // namespace orvex

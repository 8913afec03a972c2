// orvexIpc script library: writes bytes to one of the agent's clients.
#include "LibraryTables.h"
#include "ScriptBinding.h"
#include "pyn/AgentComponents.h"

ORVEX_DEFINE_EXPORTED_SINGLETON(COrvexIpc)

namespace orvex {
namespace {

// WriteToClient(name, data): the name is text, the data passes unchanged.
int WriteToClient(lua_State* L) {
    CheckArgCount(L, 2);
    COrvexIpc* ipc = pyn::CSingleton<COrvexIpc>::GetInstance();
    if (!ipc) ThrowArgvError();
    const std::string name = GetStringArg(L, 1);
    const pyn::ByteVector data = GetBufferArg(L, 2);
    RequireNonEmpty(name);
    RequireNonEmpty(data);
    PushBool(L, ipc->WriteToClient(name, data));
    return 1;
}

}  // namespace

const luaL_Reg kOrvexIpcLib[] = {
    ORVEX_SCRIPT_FN("WriteToClient", WriteToClient),
    {nullptr, nullptr},
};

}  // namespace orvex

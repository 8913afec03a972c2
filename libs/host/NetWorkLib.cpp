// orvexNetWork script library: host name, name resolution and URL parsing,
// and the agent's network channel.
#include "LibraryTables.h"
#include "ScriptBinding.h"
#include "pyn/AgentComponents.h"
#include "pyn/HostInfoUtil.h"

ORVEX_DEFINE_EXPORTED_SINGLETON(CNetWork)

namespace orvex {
namespace {

// Addresses asked of the resolver at most.
constexpr int kMaxAddresses = 20;

// The only argument, a string or number, unconverted up to its first zero
// byte; anything else is a bad call.
std::string RawTextUpToZero(lua_State* L) {
    if (lua_gettop(L) != 1 || !lua_isstring(L, 1)) ThrowArgvError();
    return std::string(lua_tostring(L, 1));
}

// Bytes of a non-empty string or number argument; false for anything else.
bool ReadMessageText(lua_State* L, int index, std::string& out) {
    if (!lua_isstring(L, index)) return false;
    size_t size = 0;
    const char* data = lua_tolstring(L, index, &size);
    if (size == 0) return false;
    out.assign(data, size);
    return true;
}

int GetLocalHostName(lua_State* L) {
    PushText(L, pyn::CHostInfoUtil::GetLocalHostName());
    return 1;
}

int GetAllIpByDomain(lua_State* L) {
    const std::string domain = RawTextUpToZero(L);
    PushTextList(L, pyn::CHostInfoUtil::GetIpListByDomain(domain, kMaxAddresses));
    return 1;
}

int GetUrlHost(lua_State* L) {
    const std::string url = RawTextUpToZero(L);
    PushText(L, pyn::CHostInfoUtil::GetHostNameByUrl(url));
    return 1;
}

// The first text goes to the channel as the script's bytes, the second in
// the local code page.
int SendTcpMessage(lua_State* L) {
    CheckArgCount(L, 2);
    CNetWork* net = pyn::CSingleton<CNetWork>::GetInstance();
    std::string first, second;
    bool sent = net && ReadMessageText(L, 1, first) && ReadMessageText(L, 2, second) &&
                net->SendNetMessage(first, pyn::CStringUtil::utf8_s2s(second));
    PushBool(L, sent);
    return 1;
}

int IsLoginServer(lua_State* L) {
    CNetWork* net = pyn::CSingleton<CNetWork>::GetInstance();
    if (!net) return 0;
    PushBool(L, net->IsLoginSucc());
    return 1;
}

}  // namespace

const luaL_Reg kOrvexNetWorkLib[] = {
    ORVEX_SCRIPT_FN("GetLocalHostName", GetLocalHostName),
    ORVEX_SCRIPT_FN("GetAllIpByDomain", GetAllIpByDomain),
    ORVEX_SCRIPT_FN("GetUrlHost", GetUrlHost),
    ORVEX_SCRIPT_FN("SendTcpMessage", SendTcpMessage),
    ORVEX_SCRIPT_FN("IsLoginServer", IsLoginServer),
    {nullptr, nullptr},
};

}  // namespace orvex

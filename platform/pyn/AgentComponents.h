// The agent's components that script libraries call: configuration, network
// channel, client IPC, web-protection engine and its rules.
//
// The agent (or any host) implements these classes and installs one object of
// each with CSingleton<T>::SetInstance(&object); scripts reach them through
// CSingleton<T>::GetInstance() (CKorinMgr::GetInstance() for the engine),
// which is null until an object is installed. The library never owns or
// deletes them. Script threads call them concurrently, so implementations
// must accept calls from several threads at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "LuaEngineInterface.h"
#include "Singleton.h"

// Identity and configuration of the agent; texts in the local code page.
class COrvexConfig {
public:
    virtual ~COrvexConfig() = default;
    virtual std::string GetVMid() = 0;
    virtual std::string GetBiosUuid() = 0;
    virtual std::string GetIdentityIp() const = 0;
    virtual std::string GetPlatInfo() = 0;
    virtual std::string GetCurrentVersion() = 0;
    virtual std::string GetServiceIp() = 0;
    virtual std::string GetUuid() = 0;
};

// The agent's channel to its server.
class CNetWork {
public:
    virtual ~CNetWork() = default;
    // True when the message went out.
    virtual bool SendNetMessage(const std::string& first, const std::string& second) = 0;
    // True while the agent is logged in to its server.
    virtual bool IsLoginSucc() = 0;
};

// The agent's IPC link to its clients.
class COrvexIpc {
public:
    virtual ~COrvexIpc() = default;
    // True when `data` was written to the client called `name`.
    virtual bool WriteToClient(const std::string& name, const std::vector<signed char>& data) = 0;
};

// Manager of the web-protection engine.
class CKorinMgr {
public:
    virtual ~CKorinMgr() = default;
    // The installed manager, or null.
    static CKorinMgr* GetInstance();
    // Non-zero when the engine started.
    virtual int32_t StartKorin() = 0;
    // True when the engine stopped.
    virtual bool StopKorin() = 0;
    virtual void UnInstallAllModules() = 0;
};

// Rule component of the web-protection engine.
class CWafRule {
public:
    virtual ~CWafRule() = default;
    // True when the current rules were fetched.
    virtual bool PullWafRule() = 0;
};

ORVEX_DECLARE_EXPORTED_SINGLETON(COrvexConfig)
ORVEX_DECLARE_EXPORTED_SINGLETON(CNetWork)
ORVEX_DECLARE_EXPORTED_SINGLETON(COrvexIpc)
ORVEX_DECLARE_EXPORTED_SINGLETON(CKorinMgr)
ORVEX_DECLARE_EXPORTED_SINGLETON(CWafRule)

inline CKorinMgr* CKorinMgr::GetInstance() { return pyn::CSingleton<CKorinMgr>::GetInstance(); }

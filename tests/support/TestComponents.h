// Agent components for tests: fixed answers, and a record of every call.
// Thread-safe, like the agent's own.
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "pyn/AgentComponents.h"

namespace orvextest {

class TestConfig : public COrvexConfig {
public:
    std::string vmid, biosUuid, identityIp, platInfo, currentVersion, serviceIp, uuid;

    std::string GetVMid() override { return vmid; }
    std::string GetBiosUuid() override { return biosUuid; }
    std::string GetIdentityIp() const override { return identityIp; }
    std::string GetPlatInfo() override { return platInfo; }
    std::string GetCurrentVersion() override { return currentVersion; }
    std::string GetServiceIp() override { return serviceIp; }
    std::string GetUuid() override { return uuid; }
};

class TestNetWork : public CNetWork {
public:
    bool login = false;
    bool sendAnswer = true;

    bool SendNetMessage(const std::string& first, const std::string& second) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sent.emplace_back(first, second);
        return sendAnswer;
    }
    bool IsLoginSucc() override { return login; }
    std::vector<std::pair<std::string, std::string>> Sent() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_sent;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::pair<std::string, std::string>> m_sent;
};

class TestIpc : public COrvexIpc {
public:
    bool answer = true;

    bool WriteToClient(const std::string& name, const std::vector<signed char>& data) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_writes.emplace_back(name, std::string(data.begin(), data.end()));
        return answer;
    }
    // (client name, bytes) of every write.
    std::vector<std::pair<std::string, std::string>> Writes() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_writes;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::pair<std::string, std::string>> m_writes;
};

class TestKorin : public CKorinMgr {
public:
    // Answers of successive StartKorin calls (0 once they are used up).
    std::deque<int32_t> startAnswers;
    bool stopAnswer = false;

    int32_t StartKorin() override {
        Record("StartKorin");
        std::lock_guard<std::mutex> lock(m_mutex);
        if (startAnswers.empty()) return 0;
        int32_t answer = startAnswers.front();
        startAnswers.pop_front();
        return answer;
    }
    bool StopKorin() override {
        Record("StopKorin");
        return stopAnswer;
    }
    void UnInstallAllModules() override { Record("UnInstallAllModules"); }
    std::vector<std::string> Calls() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }

private:
    void Record(const char* call) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(call);
    }
    mutable std::mutex m_mutex;
    std::vector<std::string> m_calls;
};

class TestWafRule : public CWafRule {
public:
    bool answer = false;
    bool PullWafRule() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_pulls;
        return answer;
    }
    int Pulls() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_pulls;
    }

private:
    mutable std::mutex m_mutex;
    int m_pulls = 0;
};

// Installs the given components for its lifetime (null leaves a slot empty).
class ComponentScope {
public:
    ComponentScope(COrvexConfig* config, CNetWork* net, COrvexIpc* ipc, CKorinMgr* korin, CWafRule* rules) {
        pyn::CSingleton<COrvexConfig>::SetInstance(config);
        pyn::CSingleton<CNetWork>::SetInstance(net);
        pyn::CSingleton<COrvexIpc>::SetInstance(ipc);
        pyn::CSingleton<CKorinMgr>::SetInstance(korin);
        pyn::CSingleton<CWafRule>::SetInstance(rules);
    }
    ~ComponentScope() {
        pyn::CSingleton<COrvexConfig>::SetInstance(nullptr);
        pyn::CSingleton<CNetWork>::SetInstance(nullptr);
        pyn::CSingleton<COrvexIpc>::SetInstance(nullptr);
        pyn::CSingleton<CKorinMgr>::SetInstance(nullptr);
        pyn::CSingleton<CWafRule>::SetInstance(nullptr);
    }
    ComponentScope(const ComponentScope&) = delete;
    ComponentScope& operator=(const ComponentScope&) = delete;
};

// One fake of each component, installed for the object's lifetime.
struct InstalledComponents {
    TestConfig config;
    TestNetWork net;
    TestIpc ipc;
    TestKorin korin;
    TestWafRule rules;
    ComponentScope scope{&config, &net, &ipc, &korin, &rules};
};

}  // namespace orvextest

// A scripted stand-in for the system's service manager: a table of services
// with their states, failures planned per primitive, and a record of every
// call in order. Single-threaded.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "pyn/ServiceManager.h"

namespace orvextest {

class FakeServiceManager : public pyn::IServiceManager {
public:
    static constexpr uint32_t kStopped = 1;
    static constexpr uint32_t kStopPending = 3;
    static constexpr uint32_t kRunning = 4;

    struct Service {
        uint32_t state = kStopped;
        std::string path;
        uint32_t type = 0;
        bool markedForDeletion = false;
    };

    std::map<std::string, Service> services;
    // State a running service reports after it accepted a stop control.
    uint32_t stateAfterStop = kStopped;
    // Deletion only marks a service; it stays (and blocks creation) until
    // ForgetMarked().
    bool deletionOnlyMarks = false;
    // Every call, e.g. "OpenManager", "Open svc", "Control svc 1", "Sleep 300".
    std::vector<std::string> calls;
    // Parameters of the last Create call.
    CreateParams lastCreate;
    uint32_t lastManagerAccess = 0;
    uint32_t lastServiceAccess = 0;

    // The next call of primitive `op` ("OpenManager", "Open", "Create",
    // "Start", "Query", "Control", "Delete") fails with `error`.
    void FailNext(const std::string& op, uint32_t error) { m_failures[op] = error; }
    int OpenHandles() const { return static_cast<int>(m_handles.size()); }
    void ForgetMarked() {
        for (auto it = services.begin(); it != services.end();)
            it = it->second.markedForDeletion ? services.erase(it) : std::next(it);
    }

    Handle OpenManager(uint32_t access) override {
        calls.push_back("OpenManager");
        lastManagerAccess = access;
        if (Planned("OpenManager")) return nullptr;
        return NewHandle("");
    }

    Handle Open(Handle manager, const std::string& name, uint32_t access) override {
        calls.push_back("Open " + name);
        EXPECT_TRUE(IsManager(manager));
        lastServiceAccess = access;
        if (Planned("Open")) return nullptr;
        if (!services.count(name)) return Fail(1060);  // does not exist
        return NewHandle(name);
    }

    Handle Create(Handle manager, const CreateParams& params) override {
        calls.push_back("Create " + params.name);
        EXPECT_TRUE(IsManager(manager));
        lastCreate = params;
        if (Planned("Create")) return nullptr;
        auto it = services.find(params.name);
        if (it != services.end()) return Fail(it->second.markedForDeletion ? 1072 : 1073);
        Service& added = services[params.name];
        added.path = params.binaryPath ? params.binaryPath : "";
        added.type = params.serviceType;
        return NewHandle(params.name);
    }

    bool Start(Handle service) override {
        Service& s = Target("Start", service);
        if (Planned("Start")) return false;
        if (s.state == kRunning) return Fail(1056);
        s.state = kRunning;
        return true;
    }

    bool QueryState(Handle service, uint32_t* state) override {
        Service& s = Target("Query", service);
        if (Planned("Query")) return false;
        *state = s.state;
        return true;
    }

    bool Control(Handle service, uint32_t code) override {
        Service& s = Target("Control", service, " " + std::to_string(code));
        if (Planned("Control")) return false;
        if (s.state != kRunning) return Fail(1062);  // not active
        s.state = stateAfterStop;
        return true;
    }

    bool Delete(Handle service) override {
        const std::string name = m_handles.at(service);
        Target("Delete", service);
        if (Planned("Delete")) return false;
        if (deletionOnlyMarks)
            services[name].markedForDeletion = true;
        else
            services.erase(name);
        return true;
    }

    void Close(Handle handle) override {
        calls.push_back("Close");
        EXPECT_EQ(m_handles.erase(handle), 1u) << "closing a handle that is not open";
    }

    uint32_t LastError() override { return m_lastError; }

    void Sleep(uint32_t milliseconds) override { calls.push_back("Sleep " + std::to_string(milliseconds)); }

private:
    bool Planned(const std::string& op) {
        auto it = m_failures.find(op);
        if (it == m_failures.end()) return false;
        m_lastError = it->second;
        m_failures.erase(it);
        return true;
    }
    // Records a failure; converts to a null handle or false.
    struct Failure {
        operator Handle() const { return nullptr; }
        operator bool() const { return false; }
    };
    Failure Fail(uint32_t error) {
        m_lastError = error;
        return {};
    }
    Handle NewHandle(const std::string& name) {
        Handle h = reinterpret_cast<Handle>(++m_nextHandle);
        m_handles[h] = name;
        return h;
    }
    bool IsManager(Handle h) const {
        auto it = m_handles.find(h);
        return it != m_handles.end() && it->second.empty();
    }
    Service& Target(const std::string& op, Handle service, const std::string& extra = "") {
        const std::string& name = m_handles.at(service);
        calls.push_back(op + " " + name + extra);
        return services[name];
    }

    std::map<std::string, uint32_t> m_failures;
    std::map<Handle, std::string> m_handles;
    uintptr_t m_nextHandle = 0x100;
    uint32_t m_lastError = 0;
};

}  // namespace orvextest

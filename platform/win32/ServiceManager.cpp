// The Windows service control manager (advapi32).
#include "pyn/ServiceManager.h"
#include "pyn/NoDestructor.h"

#include <windows.h>

namespace pyn {
namespace {

SC_HANDLE ToSc(IServiceManager::Handle handle) { return static_cast<SC_HANDLE>(handle); }

class CWindowsServiceManager final : public IServiceManager {
public:
    Handle OpenManager(uint32_t access) override { return OpenSCManagerW(nullptr, nullptr, access); }

    Handle Open(Handle manager, const std::string& name, uint32_t access) override {
        return OpenServiceA(ToSc(manager), name.c_str(), access);
    }

    Handle Create(Handle manager, const CreateParams& p) override {
        return CreateServiceA(ToSc(manager), p.name.c_str(), p.displayName.c_str(), p.access, p.serviceType,
                              p.startType, p.errorControl, p.binaryPath, nullptr, nullptr, nullptr, nullptr,
                              nullptr);
    }

    bool Start(Handle service) override { return StartServiceW(ToSc(service), 0, nullptr) != FALSE; }

    bool QueryState(Handle service, uint32_t* state) override {
        SERVICE_STATUS status = {};
        if (!QueryServiceStatus(ToSc(service), &status)) return false;
        *state = status.dwCurrentState;
        return true;
    }

    bool Control(Handle service, uint32_t code) override {
        SERVICE_STATUS status = {};
        return ControlService(ToSc(service), code, &status) != FALSE;
    }

    bool Delete(Handle service) override { return ::DeleteService(ToSc(service)) != FALSE; }

    void Close(Handle handle) override { CloseServiceHandle(ToSc(handle)); }

    uint32_t LastError() override { return GetLastError(); }

    void Sleep(uint32_t milliseconds) override { ::Sleep(milliseconds); }
};

}  // namespace

IServiceManager& GetSystemServiceManager() {
    static NoDestructor<CWindowsServiceManager> manager;
    return *manager;
}

}  // namespace pyn

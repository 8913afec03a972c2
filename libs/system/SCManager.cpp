// Service control operations: fixed sequences of service-manager calls.
#include "SCManager.h"

#include <atomic>

#include "pyn/LogMessage.h"

namespace orvex {
namespace {

using Handle = pyn::IServiceManager::Handle;

constexpr uint32_t kManagerAllAccess = 0x000F003F;
constexpr uint32_t kServiceAllAccess = 0x000F01FF;
constexpr uint32_t kOwnInteractiveProcess = 0x00000110;
constexpr uint32_t kAutoStart = 2;
constexpr uint32_t kErrorIgnore = 0;
constexpr uint32_t kControlStop = 1;
constexpr uint32_t kStateRunning = 4;

constexpr uint32_t kErrorIoPending = 997;
constexpr uint32_t kErrorServiceAlreadyRunning = 1056;
constexpr uint32_t kErrorServiceExists = 1073;

constexpr uint32_t kPauseBeforeDelete = 5;
constexpr uint32_t kPauseBeforeCreateOrStart = 300;

std::atomic<pyn::IServiceManager*> g_manager{nullptr};

pyn::IServiceManager& Manager() {
    pyn::IServiceManager* installed = g_manager.load(std::memory_order_acquire);
    return installed ? *installed : pyn::GetSystemServiceManager();
}

#define SCM_LOG(...) pyn::CLogMessage::GetInstance()->log(pyn::PynLogError, "SCManager", __LINE__, __VA_ARGS__)

int ErrorOf(pyn::IServiceManager& sc) { return static_cast<int>(sc.LastError()); }

// Owns a manager or service handle for one operation.
class ScopedHandle {
public:
    ScopedHandle(pyn::IServiceManager& sc, Handle handle) : m_sc(sc), m_handle(handle) {}
    ~ScopedHandle() {
        if (m_handle) m_sc.Close(m_handle);
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    Handle get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    pyn::IServiceManager& m_sc;
    Handle m_handle;
};

// The manager and the service `name`, opened with all access; a failure of
// either is logged (each right after its call, with its error code).
struct OpenedService {
    OpenedService(pyn::IServiceManager& sc, const std::string& name)
        : manager(sc, sc.OpenManager(kManagerAllAccess)),
          service(sc, manager ? sc.Open(manager.get(), name, kServiceAllAccess) : nullptr) {
        if (!manager)
            SCM_LOG("OpenSCManager Fail : %d", ErrorOf(sc));
        else if (!service)
            SCM_LOG("OpenServiceA Fail : %d", ErrorOf(sc));
    }
    explicit operator bool() const { return static_cast<bool>(service); }

    ScopedHandle manager;
    ScopedHandle service;
};

enum class StopMode { StopOnly, StopAndDelete };

// Shared body of StopService and UninstallService.
bool StopOrUninstall(const std::string& name, StopMode mode) {
    pyn::IServiceManager& sc = Manager();
    OpenedService opened(sc, name);
    if (!opened) return false;
    ScopedHandle& service = opened.service;
    uint32_t state = 0;
    if (!sc.QueryState(service.get(), &state)) {
        SCM_LOG("QueryServiceStatus Fail : %d", ErrorOf(sc));
        return false;
    }
    if (state == kStateRunning) {
        if (!sc.Control(service.get(), kControlStop)) {
            SCM_LOG("ControlService Fail : %d", ErrorOf(sc));
            return false;
        }
        if (mode == StopMode::StopOnly) return true;
        sc.Sleep(kPauseBeforeDelete);
    } else if (mode == StopMode::StopOnly) {
        return true;
    }
    return sc.Delete(service.get());
}

}  // namespace

void SetServiceManager(pyn::IServiceManager* manager) { g_manager.store(manager, std::memory_order_release); }

bool ServiceExists(const std::string& name) {
    pyn::IServiceManager& sc = Manager();
    ScopedHandle manager(sc, sc.OpenManager(kManagerAllAccess));
    if (!manager) return false;
    ScopedHandle service(sc, sc.Open(manager.get(), name, kServiceAllAccess));
    return static_cast<bool>(service);
}

bool InstallService(const std::string& name, const std::string& displayName, const char* path,
                    uint32_t serviceType) {
    if (!path) return false;
    pyn::IServiceManager& sc = Manager();
    {
        ScopedHandle manager(sc, sc.OpenManager(kManagerAllAccess));
        if (!manager) {
            SCM_LOG("OpenSCManager Faile: %d", ErrorOf(sc));
            return false;
        }
        pyn::IServiceManager::CreateParams params;
        params.name = name;
        params.displayName = displayName;
        params.binaryPath = path;
        params.access = kServiceAllAccess;
        params.serviceType = serviceType ? serviceType : kOwnInteractiveProcess;
        params.startType = kAutoStart;
        params.errorControl = kErrorIgnore;
        ScopedHandle service(sc, sc.Create(manager.get(), params));
        if (!service) {
            uint32_t error = sc.LastError();
            if (error != kErrorIoPending && error != kErrorServiceExists) {
                SCM_LOG("CreateServiceA Fail : %d", static_cast<int>(error));
                return false;
            }
        }
    }
    return StartServiceByName(name);
}

bool StartServiceByName(const std::string& name) {
    pyn::IServiceManager& sc = Manager();
    OpenedService opened(sc, name);
    if (!opened) return false;
    ScopedHandle& service = opened.service;
    if (sc.Start(service.get())) return true;
    return sc.LastError() == kErrorServiceAlreadyRunning;
}

bool StopService(const std::string& name) { return StopOrUninstall(name, StopMode::StopOnly); }

bool UninstallService(const std::string& name) { return StopOrUninstall(name, StopMode::StopAndDelete); }

bool ReinstallService(const std::string& name, const std::string& displayName, const char* path,
                      uint32_t serviceType) {
    pyn::IServiceManager& sc = Manager();
    if (ServiceExists(name)) {
        if (!StopService(name)) {
            SCM_LOG("StopServer Fail: %s, error: %d", name.c_str(), ErrorOf(sc));
            return false;
        }
        if (!UninstallService(name)) {
            SCM_LOG("UninstallService Fail : %s, error: %d", name.c_str(), ErrorOf(sc));
            return false;
        }
    }
    sc.Sleep(kPauseBeforeCreateOrStart);
    if (!InstallService(name, displayName, path, serviceType)) {
        SCM_LOG("InstallService Fail : %s, error:%d", name.c_str(), ErrorOf(sc));
        return false;
    }
    return true;
}

bool RestartService(const std::string& name) {
    pyn::IServiceManager& sc = Manager();
    if (!ServiceExists(name)) {
        SCM_LOG("IsServer false : %s", name.c_str());
        return false;
    }
    if (!StopService(name)) {
        SCM_LOG("StopService false : %s, error: %d", name.c_str(), ErrorOf(sc));
        return false;
    }
    sc.Sleep(kPauseBeforeCreateOrStart);
    return StartServiceByName(name);
}

}  // namespace orvex

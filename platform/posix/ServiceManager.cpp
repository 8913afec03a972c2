// There is no service control manager on POSIX systems: opening it fails, so
// every service operation fails the way it does when the manager is
// unreachable.
#include "pyn/ServiceManager.h"
#include "pyn/NoDestructor.h"

#include "pyn/ToolUtil.h"

namespace pyn {
namespace {

constexpr uint32_t kErrorCallNotImplemented = 120;
constexpr uint32_t kErrorInvalidHandle = 6;

class CUnavailableServiceManager final : public IServiceManager {
public:
    Handle OpenManager(uint32_t) override { return Fail(kErrorCallNotImplemented); }
    Handle Open(Handle, const std::string&, uint32_t) override { return Fail(kErrorInvalidHandle); }
    Handle Create(Handle, const CreateParams&) override { return Fail(kErrorInvalidHandle); }
    bool Start(Handle) override { return Fail(kErrorInvalidHandle); }
    bool QueryState(Handle, uint32_t*) override { return Fail(kErrorInvalidHandle); }
    bool Control(Handle, uint32_t) override { return Fail(kErrorInvalidHandle); }
    bool Delete(Handle) override { return Fail(kErrorInvalidHandle); }
    void Close(Handle) override {}
    uint32_t LastError() override { return t_lastError; }
    void Sleep(uint32_t milliseconds) override { CToolUtil::msleep(milliseconds); }

private:
    // Converts to a null handle or false.
    struct Failure {
        operator Handle() const { return nullptr; }
        operator bool() const { return false; }
    };
    static Failure Fail(uint32_t error) {
        t_lastError = error;
        return {};
    }
    static thread_local uint32_t t_lastError;
};

thread_local uint32_t CUnavailableServiceManager::t_lastError = 0;

}  // namespace

IServiceManager& GetSystemServiceManager() {
    static NoDestructor<CUnavailableServiceManager> manager;
    return *manager;
}

}  // namespace pyn

// Primitives of the operating system's service manager, as the service
// control operations (libs/system/SCManager) use them.
//
// Handles are opaque; null means "no handle". Every failing call leaves its
// error code (the system's code, e.g. 1073 for a service that exists
// already) to be read with LastError() on the same thread.
#pragma once

#include <cstdint>
#include <string>

namespace pyn {

class IServiceManager {
public:
    using Handle = void*;

    // Values of a service to create.
    struct CreateParams {
        std::string name;
        std::string displayName;
        const char* binaryPath = nullptr;  // the command line stored as is
        uint32_t access = 0;
        uint32_t serviceType = 0;
        uint32_t startType = 0;
        uint32_t errorControl = 0;
    };

    virtual ~IServiceManager() = default;

    // Connects to the local machine's active service database.
    virtual Handle OpenManager(uint32_t access) = 0;
    virtual Handle Open(Handle manager, const std::string& name, uint32_t access) = 0;
    // Fails with 1073 when the service exists already.
    virtual Handle Create(Handle manager, const CreateParams& params) = 0;
    // Starts with no arguments; fails with 1056 when it runs already.
    virtual bool Start(Handle service) = 0;
    // The service's current state (1 stopped ... 4 running ... 7 paused).
    virtual bool QueryState(Handle service, uint32_t* state) = 0;
    virtual bool Control(Handle service, uint32_t code) = 0;
    // Marks the service for deletion.
    virtual bool Delete(Handle service) = 0;
    virtual void Close(Handle handle) = 0;
    // The calling thread's last error code.
    virtual uint32_t LastError() = 0;
    virtual void Sleep(uint32_t milliseconds) = 0;
};

// The system's service manager. Where there is none, OpenManager fails with
// a non-zero error code (120, "not implemented").
IServiceManager& GetSystemServiceManager();

}  // namespace pyn

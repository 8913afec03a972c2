// Service control operations over the system's service manager.
//
// Every operation opens its own handles and closes all of them before it
// returns; failures are logged at level 2 with the source "SCManager" and
// come back as false. Names, display names and paths are local-code-page
// text. No state survives a call.
#pragma once

#include <cstdint>
#include <string>

#include "pyn/ServiceManager.h"

namespace orvex {

// The service can be opened with full access. Logs nothing.
bool ServiceExists(const std::string& name);
// Creates the service (an existing one keeps its configuration) and starts
// it. A null path fails at once. Type 0 stands for an own-process,
// interactive service.
bool InstallService(const std::string& name, const std::string& displayName, const char* path,
                    uint32_t serviceType);
// The start request was accepted, or the service runs already.
bool StartServiceByName(const std::string& name);
// The service was not running, or it accepted the stop request.
bool StopService(const std::string& name);
// Stops a running service and marks it for deletion.
bool UninstallService(const std::string& name);
// Stops and deletes any old service, then creates and starts the new one.
bool ReinstallService(const std::string& name, const std::string& displayName, const char* path,
                      uint32_t serviceType);
// Stops the existing service (when it runs) and starts it again.
bool RestartService(const std::string& name);

// Installs the primitives the operations use; null restores the system's.
// The object must outlive every operation that may use it.
void SetServiceManager(pyn::IServiceManager* manager);

}  // namespace orvex

// The orvexUtil script functions, by group (see UtilWrapper.cpp).
#pragma once

extern "C" {
#include <lua.h>
}

namespace orvex {
namespace util {

// Commands and processes (UtilProcess.cpp).

// Files and directories (UtilFiles.cpp).

// HTTP, archives and small tools (UtilMisc.cpp).

}  // namespace util
}  // namespace orvex

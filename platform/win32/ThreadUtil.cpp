#include <windows.h>

#include "pyn/ThreadUtil.h"

namespace pyn {

uint32_t CThreadUtil::GetCurrentThreadId() { return static_cast<uint32_t>(::GetCurrentThreadId()); }

}  // namespace pyn

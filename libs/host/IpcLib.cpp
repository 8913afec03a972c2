// orvexIpc script library.
#include "LibraryTables.h"
#include "ScriptBinding.h"

namespace orvex {

const luaL_Reg kOrvexIpcLib[] = {
    {nullptr, nullptr},
};

}  // namespace orvex

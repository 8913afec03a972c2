// orvexNetWork script library.
#include "LibraryTables.h"
#include "ScriptBinding.h"

namespace orvex {

const luaL_Reg kOrvexNetWorkLib[] = {
    {nullptr, nullptr},
};

}  // namespace orvex

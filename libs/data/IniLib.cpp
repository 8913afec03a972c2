// orvexIni script library.
#include "LibraryTables.h"
#include "ScriptBinding.h"

namespace orvex {

const luaL_Reg kOrvexIniLib[] = {
    {nullptr, nullptr},
};

}  // namespace orvex

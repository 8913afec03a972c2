// orvexConfig script library.
#include "LibraryTables.h"
#include "ScriptBinding.h"

namespace orvex {

const luaL_Reg kOrvexConfigLib[] = {
    {nullptr, nullptr},
};

}  // namespace orvex

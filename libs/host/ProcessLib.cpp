// orvexProcess script library.
#include "LibraryTables.h"
#include "ScriptBinding.h"

namespace orvex {

const luaL_Reg kOrvexProcessLib[] = {
    {nullptr, nullptr},
};

}  // namespace orvex

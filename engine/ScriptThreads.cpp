// orvexThread script library.
#include "LibraryTables.h"
#include "ScriptBinding.h"

namespace orvex {

const luaL_Reg kOrvexThreadLib[] = {
    {nullptr, nullptr},
};

}  // namespace orvex

// orvexUtil script library.
#include "LibraryTables.h"
#include "ScriptBinding.h"

namespace orvex {

const luaL_Reg kOrvexUtilLib[] = {
    {nullptr, nullptr},
};

}  // namespace orvex

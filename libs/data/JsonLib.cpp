// orvexJson script library.
#include "LibraryTables.h"
#include "ScriptBinding.h"

namespace orvex {

const luaL_Reg kOrvexJsonLib[] = {
    {nullptr, nullptr},
};

}  // namespace orvex

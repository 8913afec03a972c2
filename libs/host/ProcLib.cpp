// orvexProc script library.
#include "LibraryTables.h"
#include "ScriptBinding.h"

namespace orvex {

const luaL_Reg kOrvexProcLib[] = {
    {nullptr, nullptr},
};

}  // namespace orvex

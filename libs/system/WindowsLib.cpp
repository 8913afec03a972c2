// orvexWindows script library.
#include "LibraryTables.h"
#include "ScriptBinding.h"

namespace orvex {

const luaL_Reg kOrvexWindowsLib[] = {
    {nullptr, nullptr},
};

}  // namespace orvex

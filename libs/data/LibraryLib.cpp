// orvexLibrary script library.
#include "LibraryTables.h"
#include "ScriptBinding.h"

namespace orvex {

const luaL_Reg kOrvexLibraryLib[] = {
    {nullptr, nullptr},
};

}  // namespace orvex

// orvexKorin script library.
#include "LibraryTables.h"
#include "ScriptBinding.h"

namespace orvex {

const luaL_Reg kOrvexKorinLib[] = {
    {nullptr, nullptr},
};

}  // namespace orvex

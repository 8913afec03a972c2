// orvexAlgorithm script library.
#include "LibraryTables.h"
#include "ScriptBinding.h"

namespace orvex {

const luaL_Reg kOrvexAlgorithmLib[] = {
    {nullptr, nullptr},
};

}  // namespace orvex

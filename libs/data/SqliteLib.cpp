// orvexSqlite script library.
#include "LibraryTables.h"
#include "ScriptBinding.h"

namespace orvex {

const luaL_Reg kOrvexSqliteLib[] = {
    {nullptr, nullptr},
};

}  // namespace orvex

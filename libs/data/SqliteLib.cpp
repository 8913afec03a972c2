// orvexSqlite script library: one SQL statement per call, through the SQLite
// module of the pyn layer. Each call obtains a database object for the path,
// runs its statement and hands every object back before it returns.
#include "LibraryTables.h"
#include "ScriptBinding.h"
#include "pyn/SqliteDB.h"

namespace orvex {
namespace {

// Hands a database object (and the query made from it, if any) back on every
// path out of a script function, errors included.
class DatabaseLease {
public:
    explicit DatabaseLease(const std::string& path) {
        int error = 0;
        m_db = pyn::GetSqliteDB(path, error);
    }
    ~DatabaseLease() {
        if (!m_db) return;
        if (m_query) m_db->FreeQuery(m_query);
        pyn::RemoveSqliteDB(m_db);
    }
    DatabaseLease(const DatabaseLease&) = delete;
    DatabaseLease& operator=(const DatabaseLease&) = delete;

    pyn::ISqliteDB* db() const { return m_db; }
    pyn::ISqliteQuery* Query(const std::string& sql) { return m_query = m_db->ExecQuery(sql); }

private:
    pyn::ISqliteDB* m_db = nullptr;
    pyn::ISqliteQuery* m_query = nullptr;
};

// Reads the path and the SQL text: exactly two arguments, neither empty.
void ReadStatementArgs(lua_State* L, std::string& path, std::string& sql) {
    CheckArgCount(L, 2);
    path = GetStringArg(L, 1);
    RequireNonEmpty(path);
    sql = GetStringArg(L, 2);
    RequireNonEmpty(sql);
}

constexpr int kIntegerType = 1;
constexpr int kTextType = 3;

// Appends the current row's INTEGER and TEXT values to the table on the top
// of the stack from key `next` on; gives the next free key.
int AppendRow(lua_State* L, pyn::ISqliteQuery* query, int next) {
    int columns = 0;
    if (!query->GetColumnCount(columns)) return next;
    std::string text;
    for (int column = 0; column < columns; ++column) {
        int type = -1;
        if (!query->GetColumnType(column, type)) continue;
        if (type == kTextType) {
            if (!query->GetTextValue(column, text)) continue;
            PushText(L, text);
        } else if (type == kIntegerType) {
            int32_t value = 0;
            if (!query->GetIntValue(column, value)) continue;
            lua_pushinteger(L, value);
        } else {
            continue;
        }
        lua_rawseti(L, -2, next++);
    }
    return next;
}

// execDml(path, sql) -> true when the statement ran; nothing when there is no
// database for the path.
int ExecDml(lua_State* L) {
    std::string path, sql;
    ReadStatementArgs(L, path, sql);
    DatabaseLease lease(path);
    if (!lease.db()) return 0;
    PushBool(L, lease.db()->ExecDml(sql));
    return 1;
}

// execQuery(path, sql) -> the values of all rows in one flat sequence;
// nothing when there is no database or the query is refused or fails on
// the way.
int ExecQuery(lua_State* L) {
    std::string path, sql;
    ReadStatementArgs(L, path, sql);
    DatabaseLease lease(path);
    if (!lease.db()) return 0;
    pyn::ISqliteQuery* query = lease.Query(sql);
    if (!query) return 0;
    ReserveStack(L, 2);
    lua_createtable(L, 0, 0);
    int next = 1;
    while (!query->IsEof()) {
        next = AppendRow(L, query, next);
        query->NextRow();
    }
    // A statement that failed after some rows would pass its first rows off
    // as the whole result.
    if (query->Failed()) {
        lua_pop(L, 1);
        return 0;
    }
    return 1;
}

}  // namespace

const luaL_Reg kOrvexSqliteLib[] = {
    ORVEX_SCRIPT_FN("execDml", ExecDml),
    ORVEX_SCRIPT_FN("execQuery", ExecQuery),
    {nullptr, nullptr},
};

}  // namespace orvex

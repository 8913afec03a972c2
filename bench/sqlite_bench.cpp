// orvexSqlite.execQuery next to the LuaSQL SQLite binding (luasql.sqlite3,
// loaded with require) doing the same query in the same kind of Lua state:
// open the database, read every row into one flat table, close.
extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <string>

#include "BenchSupport.h"
#include "LuaEngineInterface.h"
#include "pyn/SqliteDB.h"

namespace {

constexpr int kRows = 100000;

const char kFunctions[] =
    "local db = ...\n"
    "function engine(sql)\n"
    "  return #orvexSqlite.execQuery(db, sql)\n"
    "end\n"
    "local env = require('luasql.sqlite3').sqlite3()\n"
    "function baseline(sql)\n"
    "  local con = assert(env:connect(db))\n"
    "  local cur = assert(con:execute(sql))\n"
    "  local t, k = {}, 0\n"
    "  local n, s = cur:fetch()\n"
    "  while n ~= nil do t[k + 1] = n; t[k + 2] = s; k = k + 2; n, s = cur:fetch() end\n"
    "  cur:close(); con:close()\n"
    "  return #t\n"
    "end\n";

const char kAllRows[] = "SELECT n, s FROM t";
const char kOneRow[] = "SELECT n, s FROM t WHERE rowid = 5000";

std::string g_dir;
std::string g_db;
lua_State* g_L = nullptr;

[[noreturn]] void Die(const std::string& why) {
    fprintf(stderr, "sqlite_bench: %s\n", why.c_str());
    exit(1);
}

void MakeDatabase() {
    char pattern[] = "/tmp/orvex-sqlite-bench-XXXXXX";
    if (!mkdtemp(pattern)) Die("mkdtemp failed");
    g_dir = pattern;
    g_db = g_dir + "/bench.sqlite";
    int error = 0;
    pyn::ISqliteDB* db = pyn::GetSqliteDB(g_db, error);
    if (!db) Die("cannot create " + g_db);
    bool ok = db->ExecDml("CREATE TABLE t(n INTEGER, s TEXT);"
                          "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < " +
                          std::to_string(kRows) + ") INSERT INTO t SELECT x, 'row ' || x FROM c;");
    pyn::RemoveSqliteDB(db);
    if (!ok) Die("cannot fill " + g_db);
}

// The engine's kind of state: standard libraries and the orvex libraries.
void MakeState() {
    g_L = luaL_newstate();
    luaL_openlibs(g_L);
    lua_pushcfunction(g_L, luaopen_LuaEngine);
    lua_call(g_L, 0, 0);
    if (luaL_loadstring(g_L, kFunctions) != 0) Die(lua_tostring(g_L, -1));
    lua_pushstring(g_L, g_db.c_str());
    if (lua_pcall(g_L, 1, 0, 0) != 0) Die(lua_tostring(g_L, -1));
}

// Calls the global `fn` with `sql`; gives the length of the table it built.
long long Call(const char* fn, const char* sql) {
    lua_getglobal(g_L, fn);
    lua_pushstring(g_L, sql);
    if (lua_pcall(g_L, 1, 1, 0) != 0) Die(lua_tostring(g_L, -1));
    long long n = lua_tointeger(g_L, -1);
    lua_pop(g_L, 1);
    return n;
}

void Query(benchmark::State& state, const char* fn, const char* sql, long long values) {
    if (Call(fn, sql) != values) Die(std::string(fn) + " read a wrong number of values");
    for (auto _ : state) benchmark::DoNotOptimize(Call(fn, sql));
    state.SetItemsProcessed(state.iterations() * values / 2);
}

void BM_Engine_AllRows(benchmark::State& s) { Query(s, "engine", kAllRows, 2LL * kRows); }
void BM_LuaSql_AllRows(benchmark::State& s) { Query(s, "baseline", kAllRows, 2LL * kRows); }
void BM_Engine_OneRow(benchmark::State& s) { Query(s, "engine", kOneRow, 2); }
void BM_LuaSql_OneRow(benchmark::State& s) { Query(s, "baseline", kOneRow, 2); }

BENCHMARK(BM_Engine_AllRows)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LuaSql_AllRows)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Engine_OneRow)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LuaSql_OneRow)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    MakeDatabase();
    MakeState();
    orvexbench::RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nratio = engine / luasql (lower is better)\n");
    orvexbench::PrintTimeRatio(reporter, "execQuery 100000 rows", "BM_Engine_AllRows", "BM_LuaSql_AllRows");
    orvexbench::PrintTimeRatio(reporter, "execQuery 1 row (open, query, close)", "BM_Engine_OneRow",
                               "BM_LuaSql_OneRow");
    reporter.PrintRatioLines();
    lua_close(g_L);
    std::filesystem::remove_all(g_dir);
    return 0;
}

// Script threads writing one SQLite database at once.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "LuaEngineInterface.h"
#include "TestSupport.h"
#include "pyn/SqliteDB.h"

namespace {

// Every statement of every thread lands: a writer that finds the database
// locked by another waits for it instead of failing.
TEST(SqliteWriters, ConcurrentWritersWaitForEachOther) {
    orvextest::TempDir dir;
    const std::string db = dir.file("shared.sqlite");
    orvextest::WriteScript(dir.file("writer.lua"),
                           "function orvexScriptMain(db, me)\n"
                           "  local S = orvexSqlite\n"
                           "  S.execDml(db, 'CREATE TABLE IF NOT EXISTS t(who INTEGER, n INTEGER, s TEXT)')\n"
                           "  for i = 1, 80 do\n"
                           "    local sql = string.format(\"INSERT INTO t VALUES (%s, %d, 'row %d')\", me, i, i)\n"
                           "    if S.execDml(db, sql) ~= true then return 'insert failed at ' .. i end\n"
                           "    local seen = S.execQuery(db, 'SELECT count(*) FROM t WHERE who = ' .. me)\n"
                           "    if not seen or seen[1] ~= i then return 'read failed at ' .. i end\n"
                           "  end\n"
                           "  return 'done'\n"
                           "end\n");
    constexpr int kThreads = 3;
    std::vector<std::string> results(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            CLuaEngineInterface::ExecLua(dir.file("writer.lua"), "", results[t], {db, std::to_string(t)}, false);
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(results[t], "done") << "thread " << t;

    const char kCountRows[] = "SELECT count(DISTINCT who || n) FROM t";
#ifdef _WIN32
    // No sqlite3 command under Wine: cmd.exe starts no Linux program, and
    // CreateProcess starts one without waiting for it, its exit status or
    // redirected output. A connection of its own reads the rows back.
    int error = 0;
    pyn::ISqliteDB* reader = pyn::GetSqliteDB(db, error);
    ASSERT_NE(reader, nullptr) << error;
    pyn::ISqliteQuery* query = reader->ExecQuery(kCountRows);
    int32_t rows = -1;
    EXPECT_TRUE(query && !query->IsEof() && query->GetIntValue(0, rows));
    if (query) reader->FreeQuery(query);
    pyn::RemoveSqliteDB(reader);
    EXPECT_EQ(rows, kThreads * 80);
#else
    std::string count;
    ASSERT_EQ(orvextest::RunCommand("sqlite3 " + orvextest::ShellQuote(db) + " '" + kCountRows + "'", &count), 0);
    EXPECT_EQ(count, std::to_string(kThreads * 80) + "\n");
#endif
}

}  // namespace

// Script threads writing one SQLite database, or one INI file, at once.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "LuaEngineInterface.h"
#include "TestSupport.h"
#include "pyn/SqliteDB.h"

namespace {

// Runs `script` on `threads` threads at once, each with the arguments `file`
// and its number; every run must give "done".
void ExpectEveryThreadDone(const std::string& script, const std::string& file, int threads) {
    std::vector<std::string> results(threads);
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t) {
        running.emplace_back([&, t] {
            CLuaEngineInterface::ExecLua(script, "", results[t], {file, std::to_string(t)}, false);
        });
    }
    for (auto& thread : running) thread.join();
    for (int t = 0; t < threads; ++t) EXPECT_EQ(results[t], "done") << "thread " << t;
}

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
    ExpectEveryThreadDone(dir.file("writer.lua"), db, kThreads);

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

// Changes of one INI file from several threads all land: each call loads,
// changes and saves the whole file, and no save overwrites another's change.
TEST(IniWriters, ConcurrentChangesOfOneFileAreAllKept) {
    orvextest::TempDir dir;
    const std::string ini = dir.file("shared.ini");
    orvextest::WriteFile(ini, "[keep]\r\nk = 1\r\n");
    orvextest::WriteScript(dir.file("writer.lua"),
                           "function orvexScriptMain(ini, me)\n"
                           "  for i = 1, 40 do\n"
                           "    if orvexIni.SetIniValue(ini, 'S/k' .. me .. '_' .. i, 'v' .. i) ~= true then\n"
                           "      return 'set failed at ' .. i\n"
                           "    end\n"
                           "    if i % 2 == 0 and orvexIni.RemoveKeyValue(ini, 'S/k' .. me .. '_' .. (i - 1)) ~= true then\n"
                           "      return 'remove failed at ' .. i\n"
                           "    end\n"
                           "  end\n"
                           "  return 'done'\n"
                           "end\n");
    constexpr int kThreads = 4;
    ExpectEveryThreadDone(dir.file("writer.lua"), ini, kThreads);

    const std::string text = orvextest::ReadFile(ini);
    EXPECT_NE(text.find("k = 1"), std::string::npos);
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 1; i <= 40; ++i) {
            const std::string entry = "k" + std::to_string(t) + "_" + std::to_string(i) + " = v" + std::to_string(i) + "\r\n";
            EXPECT_EQ(text.find(entry) != std::string::npos, i % 2 == 0) << entry;
        }
    }
}

}  // namespace

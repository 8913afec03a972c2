// SQLite database objects on libsqlite3.
//
// Every GetSqliteDB call opens a connection of its own, so objects are never
// shared between threads and a database file removed or replaced between two
// calls is never served from a stale handle. SQL and text values cross
// SQLite in UTF-8 and the interface in the local code page. Only the path
// differs by platform: SQLite takes file names in UTF-8 on Windows (and opens
// them with the wide-character calls), while on POSIX the path is handed on
// as the file system's bytes, as every POSIX file function of this layer
// does.
#include "pyn/SqliteDB.h"

#include <sqlite3.h>

#include <chrono>
#include <memory>

#include "common/TextAndFileHelpers.h"
#include "pyn/RunBudget.h"
#include "pyn/StringUtil.h"

namespace pyn {
namespace {

// How long a statement waits for another connection's lock before it fails.
constexpr int kBusyTimeoutMs = 10000;

// SQLite's busy handler: waits for another connection's lock in growing
// steps, up to kBusyTimeoutMs, and no longer than the script run it serves
// may still take (it gives up at the run's deadline or on a stop).
int WaitWhileBusy(void* startOfWait, int attempts) {
    auto* start = static_cast<std::chrono::steady_clock::time_point*>(startOfWait);
    const auto now = std::chrono::steady_clock::now();
    if (attempts == 0) *start = now;
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - *start).count();
    if (waited >= kBusyTimeoutMs || CRunBudget::Expired()) return 0;
    int64_t step = attempts < 7 ? (int64_t{1} << attempts) : 100;  // 1, 2, 4, ... 64 ms, then 100 ms
    if (step > kBusyTimeoutMs - waited) step = kBusyTimeoutMs - waited;
    return CRunBudget::SleepFor(step) ? 1 : 0;
}

class CSqliteQuery final : public ISqliteQuery {
public:
    explicit CSqliteQuery(sqlite3_stmt* stmt) : m_stmt(stmt), m_columns(sqlite3_column_count(stmt)) {}
    ~CSqliteQuery() { sqlite3_finalize(m_stmt); }
    CSqliteQuery(const CSqliteQuery&) = delete;
    CSqliteQuery& operator=(const CSqliteQuery&) = delete;

    // Steps to the next row; false when the statement failed.
    bool Step() {
        int rc = sqlite3_step(m_stmt);
        m_eof = rc != SQLITE_ROW;
        m_failed = rc != SQLITE_ROW && rc != SQLITE_DONE;
        return !m_failed;
    }

    bool GetColumnCount(int& count) override {
        count = m_columns;
        return true;
    }
    bool GetColumnName(int column, std::string& name) override {
        if (!Valid(column)) return false;
        const char* text = sqlite3_column_name(m_stmt, column);
        if (!text) return false;
        name = CStringUtil::utf8_s2s(std::string(text));
        return true;
    }
    bool GetColumnType(int column, int& type) override {
        if (!OnRow(column)) return false;
        type = sqlite3_column_type(m_stmt, column);
        return true;
    }
    bool GetIntValue(int column, int32_t& value) override {
        if (!OnRow(column)) return false;
        value = sqlite3_column_int(m_stmt, column);
        return true;
    }
    bool GetInt64Value(int column, int64_t& value) override {
        if (!OnRow(column)) return false;
        value = sqlite3_column_int64(m_stmt, column);
        return true;
    }
    bool GetDoubleValue(int column, double& value) override {
        if (!OnRow(column)) return false;
        value = sqlite3_column_double(m_stmt, column);
        return true;
    }
    bool GetTextValue(int column, std::string& value) override {
        if (!OnRow(column)) return false;
        const unsigned char* text = sqlite3_column_text(m_stmt, column);
        if (!text) return false;  // NULL, or out of memory
        int size = sqlite3_column_bytes(m_stmt, column);
        value = CStringUtil::utf8_s2s(reinterpret_cast<const char*>(text), static_cast<size_t>(size));
        return true;
    }
    bool GetBlobValue(int column, std::string& value) override {
        if (!OnRow(column)) return false;
        if (sqlite3_column_type(m_stmt, column) == SQLITE_NULL) return false;
        const void* bytes = sqlite3_column_blob(m_stmt, column);
        int size = sqlite3_column_bytes(m_stmt, column);
        if (bytes) value.assign(static_cast<const char*>(bytes), static_cast<size_t>(size));
        else value.clear();  // a zero-length value
        return true;
    }
    bool IsEof() override { return m_eof; }
    void NextRow() override {
        if (!m_eof) Step();
    }
    bool Failed() override { return m_failed; }

private:
    bool Valid(int column) const { return column >= 0 && column < m_columns; }
    bool OnRow(int column) const { return !m_eof && Valid(column); }

    sqlite3_stmt* m_stmt;
    int m_columns;
    bool m_eof = true;
    bool m_failed = false;
};

class CSqliteDB final : public ISqliteDB {
public:
    explicit CSqliteDB(sqlite3* db) : m_db(db) { sqlite3_busy_handler(db, &WaitWhileBusy, &m_busySince); }
    ~CSqliteDB() { sqlite3_close_v2(m_db); }
    CSqliteDB(const CSqliteDB&) = delete;
    CSqliteDB& operator=(const CSqliteDB&) = delete;

    int GetLastErrorCode() override { return m_error; }
    std::string GetLastErrorText() override { return m_errorText; }

    ISqliteQuery* ExecQuery(const std::string& sql) override {
        const std::string utf8 = CStringUtil::s2s_utf8(sql);
        if (RefusedForZeroByte(utf8)) return nullptr;
        sqlite3_stmt* stmt = nullptr;
        int rc = sqlite3_prepare_v2(m_db, utf8.c_str(), static_cast<int>(utf8.size()), &stmt, nullptr);
        if (rc != SQLITE_OK || !stmt) {
            // A text without a statement (blank, or only a comment) prepares
            // to nothing: there is no query to run.
            Fail(rc != SQLITE_OK ? rc : SQLITE_MISUSE);
            sqlite3_finalize(stmt);
            return nullptr;
        }
        // The statement is finalized on every path, also when the query
        // object cannot be made or the error text not kept.
        std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owned(stmt, &sqlite3_finalize);
        std::unique_ptr<CSqliteQuery> query(new CSqliteQuery(stmt));
        owned.release();
        if (!query->Step()) {
            Fail(sqlite3_errcode(m_db));
            return nullptr;
        }
        return query.release();
    }

    void FreeQuery(ISqliteQuery* query) override { delete static_cast<CSqliteQuery*>(query); }

    bool ExecDml(const std::string& sql) override {
        const std::string utf8 = CStringUtil::s2s_utf8(sql);
        if (RefusedForZeroByte(utf8)) return false;
        int rc = sqlite3_exec(m_db, utf8.c_str(), nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) {
            Fail(rc);
            return false;
        }
        return true;
    }

private:
    void Fail(int rc) {
        m_error = rc;
        m_errorText = CStringUtil::utf8_s2s(std::string(sqlite3_errmsg(m_db)));
    }

    // SQLite reads SQL only up to a zero byte: "DELETE FROM t\0 WHERE ..."
    // would delete every row. Such a text is refused.
    bool RefusedForZeroByte(const std::string& sql) {
        if (!detail::HasZeroByte(sql)) return false;
        m_error = SQLITE_MISUSE;
        m_errorText = "the SQL text holds a zero byte";
        return true;
    }

    sqlite3* m_db;
    std::chrono::steady_clock::time_point m_busySince;  // of the wait in progress (WaitWhileBusy)
    int m_error = SQLITE_OK;
    std::string m_errorText;
};

// SQLite's own file layer with one change: every file it opens by name
// (the database, its journals) must be a regular file whose reading starts
// without waiting, or be missing (SQLite then makes it). SQLite opens with
// calls that wait: a pipe or a file such as /proc/kmsg at the name would
// hold the call for good, and a device would be read and written as a
// database (a disk's blocks, say).
const char kRegularFilesVfs[] = "orvex-regular-files";
sqlite3_vfs* g_systemVfs = nullptr;

// SQLite calls it from C frames: nothing may leave it by exception (the
// check makes a std::string of the name).
int OpenRegularFile(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) noexcept {
    // The layer's methods stay unset, so SQLite does not close the file.
    try {
        if (name && !detail::IsRegularFileOrNothing(name)) return SQLITE_CANTOPEN;
    } catch (...) {
        return SQLITE_NOMEM;
    }
    return g_systemVfs->xOpen(g_systemVfs, name, file, flags, outFlags);
}

// The name of that layer, registered on first use; null when SQLite has no
// file layer to build on.
const char* RegularFilesVfs() {
    static const bool registered = [] {
        static sqlite3_vfs vfs;
        g_systemVfs = sqlite3_vfs_find(nullptr);
        if (!g_systemVfs) return false;
        vfs = *g_systemVfs;
        vfs.pNext = nullptr;
        vfs.zName = kRegularFilesVfs;
        vfs.xOpen = &OpenRegularFile;
        return sqlite3_vfs_register(&vfs, 0) == SQLITE_OK;
    }();
    return registered ? kRegularFilesVfs : nullptr;
}

// The name SQLite opens for a local-code-page path.
std::string SqliteFileName(const std::string& path) {
#ifdef _WIN32
    return CStringUtil::s2s_utf8(path);
#else
    return path;
#endif
}

}  // namespace

ISqliteDB* GetSqliteDB(const std::string& path, int& error) {
    error = SQLITE_OK;
    if (!detail::IsPathText(path)) {
        error = SQLITE_CANTOPEN;
        return nullptr;
    }
    sqlite3* db = nullptr;
    // Each connection is used by one thread at a time: no per-connection
    // mutex is needed.
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    const char* vfs = RegularFilesVfs();
    if (!vfs) {
        error = SQLITE_CANTOPEN;
        return nullptr;
    }
    int rc = sqlite3_open_v2(SqliteFileName(path).c_str(), &db, flags, vfs);
    if (rc != SQLITE_OK) {
        error = rc;
        sqlite3_close_v2(db);  // a handle is given even when opening fails
        return nullptr;
    }
    // Closed on every path, also when the database object cannot be made.
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> owned(db, &sqlite3_close_v2);
    sqlite3_extended_result_codes(db, 0);
    ISqliteDB* object = new CSqliteDB(db);
    owned.release();
    return object;
}

void RemoveSqliteDB(ISqliteDB* db) { delete static_cast<CSqliteDB*>(db); }

}  // namespace pyn

// SQLite database objects of the pyn utility layer.
//
// GetSqliteDB hands out a database object for a file path; RemoveSqliteDB
// takes it back. A database object runs statements; ExecQuery gives a query
// object that steps through the result rows one at a time (nothing is read
// ahead), released with FreeQuery before the database object goes back.
//
// The virtual operations of both interfaces keep their order: host agents
// hand their own objects through the same layouts.
//
// Text (paths, SQL, values) is in the local code page. Column type codes are
// SQLite's fundamental datatypes: 1 INTEGER, 2 FLOAT, 3 TEXT, 4 BLOB, 5 NULL.
#pragma once

#include <cstdint>
#include <string>

namespace pyn {

class ISqliteQuery {
public:
    // Number of columns of the result.
    virtual bool GetColumnCount(int& count) = 0;
    // Name of column `column` (from 0).
    virtual bool GetColumnName(int column, std::string& name) = 0;
    // Type code of column `column` in the current row.
    virtual bool GetColumnType(int column, int& type) = 0;
    // Value of column `column` in the current row as a 32-bit integer
    // (SQLite's reading: the low 32 bits of a 64-bit value).
    virtual bool GetIntValue(int column, int32_t& value) = 0;
    virtual bool GetInt64Value(int column, int64_t& value) = 0;
    virtual bool GetDoubleValue(int column, double& value) = 0;
    // Text of column `column`; false for a NULL value.
    virtual bool GetTextValue(int column, std::string& value) = 0;
    // Bytes of column `column`; false for a NULL value.
    virtual bool GetBlobValue(int column, std::string& value) = 0;
    // True when no current row is left.
    virtual bool IsEof() = 0;
    // Moves to the next row (to the end after the last one, or when the
    // statement fails on the way).
    virtual void NextRow() = 0;
    // True when the statement failed while stepping (the rows before the
    // failure were delivered; the result is incomplete).
    virtual bool Failed() = 0;

protected:
    ~ISqliteQuery() = default;
};

class ISqliteDB {
public:
    // SQLite result code and message of the last failed operation.
    virtual int GetLastErrorCode() = 0;
    virtual std::string GetLastErrorText() = 0;
    // Prepares and starts `sql` (its first statement); the query is on the
    // first result row, or at its end when there is none. Null when the
    // statement cannot be prepared or fails on its first step.
    virtual ISqliteQuery* ExecQuery(const std::string& sql) = 0;
    // Releases a query this object gave.
    virtual void FreeQuery(ISqliteQuery* query) = 0;
    // Runs `sql` (one statement or several); true when all of it ran.
    virtual bool ExecDml(const std::string& sql) = 0;

protected:
    ~ISqliteDB() = default;
};

// Opens the database file `path`, creating it when missing. Null when it
// cannot be opened; `error` then holds SQLite's result code (else 0). Each
// call gives an object of its own, for use on one thread at a time; writers
// on other connections are waited for (up to ten seconds) rather than failed.
ISqliteDB* GetSqliteDB(const std::string& path, int& error);
// Closes an object GetSqliteDB gave (after every query from it is freed).
void RemoveSqliteDB(ISqliteDB* db);

}  // namespace pyn

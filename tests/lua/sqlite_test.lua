-- orvexSqlite against database files made by the sqlite3 command.
function orvexScriptMain(luaDir, tmpDir)
    local T = dofile(luaDir .. "/helpers.lua")
    local counter = 0

    -- Runs `sql` through the sqlite3 command on a new database; gives its path.
    local function database(sql)
        counter = counter + 1
        local path = tmpDir .. "/db" .. counter .. ".sqlite"
        local script = path .. ".sql"
        if T.isWindows then
            -- No sqlite3 command here (under Wine, cmd.exe starts no Linux
            -- program): the database is made through the module itself.
            assert(orvexSqlite.execDml(path, sql), "execDml failed on " .. sql)
            return path
        end
        local f = assert(io.open(script, "w"))
        f:write(sql)
        f:close()
        local status = os.execute("sqlite3 '" .. path .. "' < '" .. script .. "'")
        assert(status == 0, "sqlite3 failed on " .. sql)
        return path
    end

    -- Output of the sqlite3 command for `sql` on `path`.
    local function sqlite3(path, sql)
        local p = assert(io.popen("sqlite3 '" .. path .. "' \"" .. sql .. "\""))
        local out = p:read("*a")
        p:close()
        return out
    end

    local pairsDb = database([[
        CREATE TABLE t(n INTEGER, s TEXT, f REAL, b BLOB);
        INSERT INTO t VALUES (1, 'a', 0.5, x'00ff');
        INSERT INTO t VALUES (2, 'b', 1.5, NULL);
    ]])

    return T.run({
        ["rows come back as one flat sequence"] = function()
            T.same(orvexSqlite.execQuery(pairsDb, "SELECT n, s FROM t ORDER BY n"), {1, "a", 2, "b"})
            T.same(orvexSqlite.execQuery(pairsDb, "SELECT s, n FROM t ORDER BY n DESC"), {"b", 2, "a", 1})
        end,
        ["a query without rows gives an empty table"] = function()
            local rows = orvexSqlite.execQuery(pairsDb, "SELECT n, s FROM t WHERE n > 100")
            T.same(rows, {})
        end,
        ["NULL values are skipped and the keys close up"] = function()
            local db = database([[
                CREATE TABLE t(n INTEGER, s TEXT);
                INSERT INTO t VALUES (1, NULL);
                INSERT INTO t VALUES (2, 'b');
                INSERT INTO t VALUES (NULL, 'c');
            ]])
            T.same(orvexSqlite.execQuery(db, "SELECT n, s FROM t ORDER BY rowid"), {1, 2, "b", "c"})
        end,
        ["FLOAT and BLOB values never appear"] = function()
            T.same(orvexSqlite.execQuery(pairsDb, "SELECT f FROM t"), {})
            T.same(orvexSqlite.execQuery(pairsDb, "SELECT f, b, f * 2 FROM t"), {})
            T.same(orvexSqlite.execQuery(pairsDb, "SELECT f, n, b, s FROM t ORDER BY n"), {1, "a", 2, "b"})
        end,
        ["a value's own type decides, row by row"] = function()
            local db = database([[
                CREATE TABLE t(v);
                INSERT INTO t VALUES (7);
                INSERT INTO t VALUES ('seven');
                INSERT INTO t VALUES (7.5);
                INSERT INTO t VALUES ('');
            ]])
            T.same(orvexSqlite.execQuery(db, "SELECT v FROM t ORDER BY rowid"), {7, "seven", ""})
        end,
        ["text keeps its bytes"] = function()
            local db = database("CREATE TABLE t(s TEXT); INSERT INTO t VALUES ('grüße 漢字');")
            T.same(orvexSqlite.execQuery(db, "SELECT s FROM t"), {"grüße 漢字"})
            T.same(orvexSqlite.execQuery(db, "SELECT length(s) FROM t"), {8})
        end,
        ["execDml writes what the sqlite3 command reads"] = function()
            if T.isWindows then T.skip("no sqlite3 command: cmd.exe under Wine starts no Linux program") end
            local path = tmpDir .. "/made-by-dml.sqlite"
            T.eq(orvexSqlite.execDml(path, "CREATE TABLE t(n INTEGER, s TEXT)"), true, "create")
            T.eq(orvexSqlite.execDml(path, "INSERT INTO t VALUES (1, 'x'); INSERT INTO t VALUES (2, 'é')"), true,
                "two statements")
            T.eq(sqlite3(path, "SELECT n || ':' || s FROM t ORDER BY n"), "1:x\n2:é\n")
            T.same(orvexSqlite.execQuery(path, "SELECT count(*) FROM t"), {2})
        end,
        ["a failing statement gives false"] = function()
            local path = tmpDir .. "/failing.sqlite"
            T.eq(orvexSqlite.execDml(path, "CREATE TABLE t(n INTEGER PRIMARY KEY)"), true)
            T.eq(orvexSqlite.execDml(path, "INSERT INTO t VALUES (1)"), true)
            T.eq(orvexSqlite.execDml(path, "INSERT INTO t VALUES (1)"), false, "duplicate key")
            T.eq(orvexSqlite.execDml(path, "INSERT INTO missing VALUES (1)"), false, "missing table")
            T.eq(orvexSqlite.execDml(path, "this is not SQL"), false, "syntax")
            -- the first statement of a failing batch has run; the rest has not
            T.eq(orvexSqlite.execDml(path, "INSERT INTO t VALUES (2); INSERT INTO t VALUES (2); INSERT INTO t VALUES (3)"),
                false)
            T.same(orvexSqlite.execQuery(path, "SELECT n FROM t ORDER BY n"), {1, 2})
            -- SQLite would read only up to the zero byte: every row deleted.
            T.eq(orvexSqlite.execDml(path, "DELETE FROM t\0 WHERE n = 2"), false)
            T.eq(T.nresults(orvexSqlite.execQuery(path, "SELECT n FROM t\0 WHERE n = 2")), 0)
            T.same(orvexSqlite.execQuery(path, "SELECT n FROM t ORDER BY n"), {1, 2})
        end,
        ["a query that fails after its first rows gives no result"] = function()
            -- The second row overflows: its first row is not the whole answer.
            T.eq(T.nresults(orvexSqlite.execQuery(pairsDb,
                "SELECT 1 UNION ALL SELECT abs(-9223372036854775807 - 1)")), 0)
            T.same(orvexSqlite.execQuery(pairsDb, "SELECT 1 UNION ALL SELECT abs(-5)"), {1, 5})
        end,
        ["a refused query gives no result"] = function()
            T.eq(T.nresults(orvexSqlite.execQuery(pairsDb, "SELECT * FROM missing")), 0, "missing table")
            T.eq(T.nresults(orvexSqlite.execQuery(pairsDb, "SELEKT 1")), 0, "syntax")
            T.eq(T.nresults(orvexSqlite.execQuery(pairsDb, "  -- only a comment")), 0, "no statement")
            local notDb = tmpDir .. "/not-a-database"
            local f = assert(io.open(notDb, "w"))
            f:write(string.rep("not a database file ", 100))
            f:close()
            T.eq(T.nresults(orvexSqlite.execQuery(notDb, "SELECT name FROM sqlite_master")), 0, "not a database")
            T.eq(orvexSqlite.execDml(notDb, "CREATE TABLE t(n)"), false)
        end,
        ["no database for the path gives no result"] = function()
            local path = tmpDir .. "/no/such/dir/x.sqlite"
            T.eq(T.nresults(orvexSqlite.execDml(path, "CREATE TABLE t(n)")), 0, "execDml")
            T.eq(T.nresults(orvexSqlite.execQuery(path, "SELECT 1")), 0, "execQuery")
            T.eq(T.nresults(orvexSqlite.execQuery(tmpDir, "SELECT 1")), 0, "a directory")
        end,
        ["a missing database file is created"] = function()
            local path = tmpDir .. "/created.sqlite"
            T.same(orvexSqlite.execQuery(path, "SELECT 42, 'x'"), {42, "x"})
            T.ok(io.open(path, "r") ~= nil, "file exists")
        end,
        ["bad calls raise argv error"] = function()
            T.raises("argv error", orvexSqlite.execQuery, pairsDb, "")
            T.raises("argv error", orvexSqlite.execQuery, "", "SELECT 1")
            T.raises("argv error", orvexSqlite.execQuery, pairsDb)
            T.raises("argv error", orvexSqlite.execQuery, pairsDb, "SELECT 1", "extra")
            T.raises("argv error", orvexSqlite.execDml, pairsDb, true)
            T.raises("argv error", orvexSqlite.execDml, pairsDb, "")
            T.raises("argv error", orvexSqlite.execDml)
        end,
    })
end

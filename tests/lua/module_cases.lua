-- orvexLoadLua.LoadModule cases; run by ModuleLoaderTest.cpp, which writes
-- the module files (encoded unless named otherwise) below moduleDir.
function orvexScriptMain(luaDir, moduleDir)
    local T = dofile(luaDir .. "/helpers.lua")
    local L = orvexLoadLua.LoadModule
    return T.run({
        ["a returned table is handed back"] = function()
            T.same(L("tbl"), {name = "tbl", n = 3})
        end,
        ["of two return values the second is handed back"] = function()
            T.eq(T.nresults(L("two")), 1)
            T.eq(L("two"), "second")
        end,
        ["a module that returns nothing gives its own name"] = function()
            T.eq(L("none"), "none")
            T.eq(L(5), "five")
        end,
        ["false and nil returned explicitly"] = function()
            T.eq(L("false"), false)
            T.eq(T.nresults(L("nil")), 1)
            T.eq(L("nil"), nil)
        end,
        ["a name given as a number loads that file"] = function()
            T.eq(L(5), "five")
            T.eq(L(5.0), "five")
        end,
        ["a name with a slash names a subdirectory"] = function()
            T.eq(L("sub/inner"), "inner")
        end,
        ["names that leave the module directory give no value"] = function()
            for _, name in ipairs({"../outside", "sub/../../outside", "..\\outside", "sub\\..\\..\\outside",
                                   "/sub/inner", "\\sub\\inner", "C:/drive", "sub/..", ".."}) do
                T.eq(T.nresults(L(name)), 0, name)
            end
            T.eq(L("sub/inner"), "inner")  -- a name below it still loads
        end,
        ["failures give no value"] = function()
            for _, name in ipairs({"plain", "missing", "broken", "fails", "empty"}) do
                T.eq(T.nresults(L(name)), 0, name)
            end
        end,
        ["a failed module does not disturb the caller's values"] = function()
            local a, b = "kept", L("fails")
            T.eq(a, "kept")
            T.eq(b, nil)
        end,
        ["the module's globals are the caller's afterwards"] = function()
            moduleGlobal, moduleFunc = nil, nil
            L("none")
            T.eq(moduleGlobal, "set by none")
            T.eq(moduleFunc(21), 42)
        end,
        ["the module sees the caller's globals"] = function()
            callerValue = 9
            T.eq(L("reads"), 10)
        end,
        ["every load runs the chunk again, from the cached source"] = function()
            loads = nil
            T.eq(L("counter"), 1)
            -- The file on disk no longer decodes; the cached source still runs.
            local f = assert(io.open(moduleDir .. "/counter.lua", "wb"))
            f:write("not the encoded form")
            f:close()
            T.eq(L("counter"), 2)
            T.eq(loads, 2)
        end,
        ["modules load modules"] = function()
            T.eq(L("nested"), 4)
        end,
        ["a module that loads itself without end comes back"] = function()
            T.ok(pcall(L, "self"))
            T.eq(L("tbl").n, 3)  -- the state is fine afterwards
        end,
        ["inside a coroutine the value reaches the coroutine"] = function()
            local co = coroutine.create(function(name)
                local v = L(name)
                coroutine.yield(v)
                return L("two")
            end)
            local ok, v = coroutine.resume(co, "tbl")
            T.ok(ok)
            T.eq(type(v), "table")
            T.eq(v.n, 3)
            T.same({coroutine.resume(co)}, {true, "second"})
        end,
        ["pcall around a load"] = function()
            T.same({pcall(L, "two")}, {true, "second"})
            T.same({pcall(L, "missing")}, {true})
        end,
    })
end

-- Library registration and the argument conventions every script function shares.
function orvexScriptMain(luaDir)
    local T = dofile(luaDir .. "/helpers.lua")
    return T.run({
        ["fifteen libraries are tables"] = function()
            for _, name in ipairs({"orvexUtil", "orvexConfig", "orvexProcess", "orvexAlgorithm",
                "orvexNetWork", "orvexLibrary", "orvexJson", "orvexIni", "orvexSqlite", "orvexLoadLua",
                "orvexIpc", "orvexThread", "orvexWindows", "orvexKorin", "orvexProc"}) do
                T.eq(type(_G[name]), "table", name)
                T.ok(package.loaded[name] == _G[name], name .. " in package.loaded")
            end
        end,
        ["every library has its functions"] = function()
            local counts = {orvexUtil = 49, orvexConfig = 7, orvexProcess = 9, orvexAlgorithm = 9,
                orvexNetWork = 5, orvexLibrary = 4, orvexJson = 4, orvexIni = 3, orvexSqlite = 2,
                orvexLoadLua = 1, orvexIpc = 1, orvexThread = 2, orvexWindows = 3, orvexKorin = 4,
                orvexProc = 1}
            for name, n in pairs(counts) do
                T.eq(T.count(_G[name]), n, name .. " entries")
                for k, v in pairs(_G[name]) do T.eq(type(v), "function", name .. "." .. k) end
            end
            T.eq(type(orvexUtil.IsFile), "function")
            T.ok(orvexLibrary.LoadModule ~= orvexLoadLua.LoadModule, "two LoadModule functions")
            T.ok(orvexUtil.StartProcess ~= orvexProcess.StartProcess, "two StartProcess functions")
        end,
        ["argv error on a wrong argument count"] = function()
            T.raises("argv error", orvexLoadLua.LoadModule)
            T.raises("argv error", orvexLoadLua.LoadModule, "a", "b")
        end,
        ["argv error carries the caller's position"] = function()
            local ok, err = pcall(function() return orvexLoadLua.LoadModule() end)
            T.ok(not ok)
            T.ok(err:match("^%[string \"orvexScriptMain\"%]:%d+: argv error$") ~= nil, err)
        end,
        ["a text argument that reads empty is refused"] = function()
            T.raises("argv error", orvexLoadLua.LoadModule, "")
            T.raises("argv error", orvexLoadLua.LoadModule, true)
            T.raises("argv error", orvexLoadLua.LoadModule, {})
        end,
        ["library tables can be changed by scripts"] = function()
            local saved = orvexLoadLua.LoadModule
            orvexLoadLua.LoadModule = nil
            T.eq(orvexLoadLua.LoadModule, nil)
            orvexLoadLua.LoadModule = saved
        end,
    })
end

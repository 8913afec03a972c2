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

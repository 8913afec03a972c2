-- orvexWindows argument checks; on Linux there is no service manager, so
-- every operation fails. (On Windows the real service manager is tested by
-- SCManagerSystemTest with a service program of its own.)
function orvexScriptMain(luaDir)
    local T = dofile(luaDir .. "/helpers.lua")
    return T.run({
        ["argument checks"] = function()
            for _, fn in ipairs({orvexWindows.winInstallService, orvexWindows.winRInstallService}) do
                T.raises("argv error", fn, "svc")
                T.raises("argv error", fn, "svc", "p", "x")
                T.raises("argv error", fn, "", "p")
                T.raises("argv error", fn, "svc", "")
                T.raises("argv error", fn, true, "p")
                T.raises("argv error", fn, "svc", {})
            end
            T.raises("argv error", orvexWindows.winRStartService)
            T.raises("argv error", orvexWindows.winRStartService, "svc", "x")
            T.raises("argv error", orvexWindows.winRStartService, "")
        end,
        ["without a service manager every operation returns false"] = function()
            if T.isWindows then
                T.skip("Windows has a service manager: SCManagerSystemTest drives the real one")
            end
            T.eq(orvexWindows.winInstallService("svc", "/bin/true"), false)
            T.eq(orvexWindows.winRStartService("svc"), false)
            T.eq(orvexWindows.winRInstallService("svc", "/bin/true"), false)
        end,
    })
end

-- orvexLibrary with the test plug-in built into pluginDir.
function orvexScriptMain(luaDir, tmpDir, fixtureDir, pluginDir)
    local T = dofile(luaDir .. "/helpers.lua")
    local L = orvexLibrary
    local ext = T.isWindows and ".dll" or ".so"
    local plugin = pluginDir .. "/echo_plugin" .. ext

    -- Runs fn with the plug-in loaded, closing it afterwards even on failure.
    local function withPlugin(fn)
        T.eq(L.LoadModule(plugin), true, "LoadModule")
        local ok, err = pcall(fn)
        T.eq(L.CloseModule(plugin), true, "CloseModule")
        if not ok then error(err, 0) end
    end

    return T.run({
        ["load, call and close move an entry through its states"] = function()
            T.eq(L.IsLoadLibrary(plugin), false, "before loading")
            T.eq(T.nresults(L.CallModuleFuncWithParam(plugin, "Echo", "x")), 0, "call before loading")
            T.eq(L.LoadModule(plugin), true, "first load")
            T.eq(L.LoadModule(plugin), true, "second load")
            T.eq(L.IsLoadLibrary(plugin), true, "after loading")
            T.eq(L.CallModuleFuncWithParam(plugin, "Echo", "ok"), "ok")
            T.eq(L.CloseModule(plugin), true, "close")
            T.eq(L.IsLoadLibrary(plugin), false, "after closing")
            T.eq(L.CloseModule(plugin), false, "second close")
            T.eq(T.nresults(L.CallModuleFuncWithParam(plugin, "Echo", "x")), 0, "call after closing")
        end,
        ["the function gets the parameter's bytes and byte length"] = function()
            withPlugin(function()
                T.eq(L.CallModuleFuncWithParam(plugin, "Echo", "grüße"), "grüße")
                T.eq(L.CallModuleFuncWithParam(plugin, "Length", "grüße"), "7")
                T.eq(L.CallModuleFuncWithParam(plugin, "Length", "a\0b"), "3")
                T.eq(L.CallModuleFuncWithParam(plugin, "Echo", "a\0b"), "a", "result ends at its first NUL")
                T.eq(L.CallModuleFuncWithParam(plugin, "Echo", 12), "12")
            end)
        end,
        ["every failed call gives no result"] = function()
            withPlugin(function()
                T.eq(T.nresults(L.CallModuleFuncWithParam(plugin, "ReturnNull", "x")), 0, "null")
                T.eq(T.nresults(L.CallModuleFuncWithParam(plugin, "ReturnEmpty", "x")), 0, "empty text")
                T.eq(T.nresults(L.CallModuleFuncWithParam(plugin, "NoSuchFunction", "x")), 0, "not exported")
                -- Only the plug-in's own functions: not a function of a library
                -- it depends on, not exported data.
                local marker = tmpDir .. "/ran"
                for _, name in ipairs({"free", "malloc", "system", "abort", "exit", "NotAFunction", "ForwardedFree"}) do
                    T.eq(T.nresults(L.CallModuleFuncWithParam(plugin, name, "echo x > " .. marker)), 0, name)
                end
                T.eq(orvexUtil.IsFile(marker), false, "no shell command ran")
                T.eq(T.nresults(L.CallModuleFuncWithParam(plugin, "Echo", "")), 0, "empty parameter")
                T.eq(T.nresults(L.CallModuleFuncWithParam(plugin, "", "x")), 0, "empty name")
                T.eq(T.nresults(L.CallModuleFuncWithParam(plugin, "Echo", true)), 0, "boolean parameter")
                T.eq(T.nresults(L.CallModuleFuncWithParam("", "Echo", "x")), 0, "empty path")
                -- The loader would read them only up to the zero byte.
                T.eq(T.nresults(L.CallModuleFuncWithParam(plugin, "Echo\0x", "x")), 0, "zero byte in the name")
                T.eq(L.LoadModule(plugin .. "\0x"), false, "zero byte in the path")
                T.eq(L.IsLoadLibrary(plugin .. "\0x"), false)
            end)
        end,
        ["two spellings of one path are two entries"] = function()
            local other = pluginDir .. "/./echo_plugin" .. ext
            withPlugin(function()
                T.eq(L.IsLoadLibrary(other), false)
                T.eq(T.nresults(L.CallModuleFuncWithParam(other, "Echo", "x")), 0)
                T.eq(L.LoadModule(other), true)
                T.eq(L.CallModuleFuncWithParam(other, "Echo", "two"), "two")
                T.eq(L.CloseModule(other), true)
                -- the module is still loaded through the first entry
                T.eq(L.CallModuleFuncWithParam(plugin, "Echo", "one"), "one")
            end)
        end,
        ["a module that cannot be loaded leaves no entry"] = function()
            local missing = tmpDir .. "/missing" .. ext
            T.eq(L.LoadModule(missing), false)
            T.eq(L.IsLoadLibrary(missing), false)
            local text = tmpDir .. "/text" .. ext
            local f = assert(io.open(text, "w"))
            f:write("not a shared object\n")
            f:close()
            T.eq(L.LoadModule(text), false)
            T.eq(L.IsLoadLibrary(text), false)
            T.eq(L.CloseModule(missing), false)
        end,
        ["empty and non-text paths"] = function()
            T.eq(L.LoadModule(""), false)
            T.eq(L.IsLoadLibrary(""), false)
            T.eq(L.CloseModule(""), false)
            T.eq(L.CloseModule(true), false)
            T.eq(L.IsLoadLibrary({}), false)
            T.raises("argv error", L.LoadModule, true)
            T.raises("argv error", L.LoadModule, {})
            T.raises("argv error", L.LoadModule, nil)
        end,
        ["wrong argument counts raise argv error"] = function()
            T.raises("argv error", L.LoadModule)
            T.raises("argv error", L.LoadModule, plugin, plugin)
            T.raises("argv error", L.CloseModule)
            T.raises("argv error", L.IsLoadLibrary, plugin, 1)
            T.raises("argv error", L.CallModuleFuncWithParam, plugin, "Echo")
            T.raises("argv error", L.CallModuleFuncWithParam, plugin, "Echo", "x", "y")
            T.eq(L.IsLoadLibrary(plugin), false, "nothing was loaded")
        end,
    })
end

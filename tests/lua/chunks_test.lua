-- What the engine changes in Lua's own libraries. Only Lua source is
-- loaded into an engine state: a precompiled (binary) chunk, which Lua 5.1
-- would run unchecked, is refused by every loader. And the pattern
-- functions nest at most 200 calls deep, where Lua 5.1's used up the
-- thread's stack.
function orvexScriptMain(luaDir, tmpDir)
    local T = dofile(luaDir .. "/helpers.lua")
    local binary = string.dump(function() return "ran binary" end)
    local refused = "binary chunks are not loaded"
    local function file(name, bytes)
        local path = tmpDir .. "/" .. name
        T.write(path, bytes)
        return path
    end
    return T.run({
        ["patterns that nest too deep are an error, not the end of the stack"] = function()
            local deep = ("a?"):rep(100000)
            local subject = ("a"):rep(100000)
            for _, call in ipairs({
                function() return subject:find(deep) end,
                function() return subject:match(deep) end,
                function() return subject:gmatch(deep)() end,
                function() return subject:gsub(deep, "") end,
            }) do
                T.raises("pattern too complex", call)
            end
            -- Captures nest too; 199 levels still match, as in Lua's own.
            T.same({subject:find(("a?"):rep(199))}, {1, 199})
            T.eq(("ab"):rep(20):gsub(("(a)(b)"):rep(16), "%2"), "babababab")
            T.eq(subject:find(deep, 1, true), nil)
        end,
        ["loadstring and load take source only"] = function()
            T.same({loadstring(binary)}, {nil, refused})
            T.eq(assert(loadstring("return 'text'"))(), "text")
            local pieces = {binary:sub(1, 3), binary:sub(4)}
            local i = 0
            local f, err = load(function() i = i + 1; return pieces[i] end)
            T.eq(f, nil)
            T.ok(tostring(err):find(refused, 1, true), err)
            i = 0
            pieces = {"", "return ", "'from", " pieces'"}
            T.eq(assert(load(function() i = i + 1; return pieces[i] end))(), "from pieces")
            T.raises("(string expected, got no value)", loadstring)
            T.raises("(function expected, got no value)", load)
            local ok, err = pcall(function() return loadstring() end)
            T.ok(tostring(err):find("bad argument #1 to 'loadstring'", 1, true), err)
        end,
        ["loadfile, dofile and require take source files only"] = function()
            local bin = file("bin.luac", binary)
            local shebang = file("shebang.luac", "#!/usr/bin/lua\n" .. binary)
            T.same({loadfile(bin)}, {nil, refused})
            T.same({loadfile(shebang)}, {nil, refused})
            T.raises(refused, dofile, bin)
            T.eq(assert(loadfile(file("text.lua", "#!/usr/bin/lua\nreturn 42")))(), 42)
            T.eq(dofile(file("text2.lua", "return 43")), 43)
            local saved = package.path
            package.path = tmpDir .. "/?.lua;" .. saved
            file("binmod.lua", binary)
            file("textmod.lua", "return {name = 'textmod'}")
            local ok, err = pcall(require, "binmod")
            package.path = saved
            T.eq(ok, false)
            T.ok(tostring(err):find(refused, 1, true), err)
            package.path = tmpDir .. "/?.lua;" .. saved
            local mod = require("textmod")
            package.path = saved
            T.eq(mod.name, "textmod")
        end,
    })
end

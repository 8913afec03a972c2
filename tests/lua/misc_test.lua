-- orvexUtil's small tools: system facts, strings, buffers, time.
function orvexScriptMain(luaDir)
    local T = dofile(luaDir .. "/helpers.lua")
    local U = orvexUtil
    return T.run({
        ["system facts"] = function()
            local v = U.GetSystemVersion("ignored", 1)
            T.ok(v == "win32" or v == "win64", v)
            T.eq(U.IsX64System(), v == "win64")
            T.eq(type(U.GetAppPath()), "string")
            T.ok(#U.GetAppPath() > 0, "application directory")
        end,
        ["msleep"] = function()
            T.eq(U.msleep(0), true)
            T.eq(U.msleep(-5), true)
            T.eq(U.msleep("3"), true)
            T.raises("argv error", U.msleep)
            T.raises("argv error", U.msleep, 1, 2)
        end,
        ["trimmed and contains"] = function()
            T.eq(U.trimmed(" \t a b\0c \r\n"), "a b\0c")
            T.eq(U.trimmed("   "), "")
            T.eq(U.contains("hello world", "o w"), true)
            T.eq(U.contains("abc", "abcd"), false)
            T.eq(U.contains("a\0b", "\0b"), true)
            T.eq(U.contains(12345, 34), true)
            for _, f in ipairs({U.trimmed, U.toHex, U.fromHex, U.ConverBufferToString, U.ConverStringToBuffer}) do
                T.raises("argv error", f, "")
                T.raises("argv error", f)
            end
            T.raises("argv error", U.contains, "abc", "")
        end,
        ["buffers and strings"] = function()
            T.eq(U.ConverBufferToString("a\0\255b"), "a\0\255b")
            T.eq(U.ConverStringToBuffer("plain ascii"), "plain ascii")
            T.eq(U.ConverStringToBuffer(12), "12")
        end,
        ["hex"] = function()
            T.eq(U.toHex("\0\255ab"), "00ff6162")
            T.eq(U.fromHex("00FF6162"), "\0\255ab")
            T.eq(U.fromHex(U.toHex("round trip")), "round trip")
            T.eq(U.fromHex("abc"), "")
            T.eq(U.fromHex("zz"), "")
        end,
        ["currentMSecsSinceEpoch"] = function()
            local before = os.time()
            local ms = U.currentMSecsSinceEpoch("ignored")
            T.eq(ms % 1000, 0)
            T.ok(ms > 2 ^ 32, "past 2^32")
            T.ok(ms >= before * 1000 and ms <= (os.time() + 1) * 1000, "now")
        end,
    })
end

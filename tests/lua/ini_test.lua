-- orvexIni: single values of INI files.
function orvexScriptMain(luaDir, tmpDir)
    local T = dofile(luaDir .. "/helpers.lua")
    local I = orvexIni
    local serial = 0

    local write, read = T.write, T.read
    -- A fresh file holding `bytes`.
    local function ini(bytes, name)
        serial = serial + 1
        local path = tmpDir .. "/" .. (name or ("t" .. serial .. ".ini"))
        write(path, bytes)
        return path
    end
    local function entries(dir)
        local p = io.popen("ls -A '" .. dir .. "'")
        local names = p:read("*a")
        p:close()
        return names
    end

    return T.run({
        ["GetIniValue: names compare case-insensitively; no slash names the top section"] = function()
            local f = ini("Host = top\n[Net]\nHost=a\n[net2]\nPort = 8080  \n")
            T.eq(I.GetIniValue(f, "net/HOST"), "a")
            T.eq(I.GetIniValue(f, "Net/Host"), "a")
            T.eq(I.GetIniValue(f, "Host"), "top")
            T.eq(I.GetIniValue(f, "/host"), "top", "a leading slash names the top section")
            T.eq(I.GetIniValue(f, "NET2/port"), "8080")
            T.eq(I.GetIniValue(f, "Net/Missing"), "")
            T.eq(I.GetIniValue(f, "Nope/Host"), "")
        end,
        ["GetIniValue: the key is everything after the first slash"] = function()
            local f = ini("[a]\r\nb/c = deep\r\nb = shallow\r\n")
            T.eq(I.GetIniValue(f, "a/b/c"), "deep")
            T.eq(I.GetIniValue(f, "a/b"), "shallow")
        end,
        ["GetIniValue: missing files and directories read empty"] = function()
            T.eq(I.GetIniValue(tmpDir .. "/missing.ini", "a/b"), "")
            T.eq(I.GetIniValue(tmpDir, "a/b"), "")
        end,
        ["a byte-order mark does not hide the first section"] = function()
            local f = ini("\239\187\191[Net]\r\nHost=a\r\n")
            T.eq(I.GetIniValue(f, "Net/Host"), "a")
            T.eq(I.SetIniValue(f, "Net/Port", "1"), true)
            T.eq(read(f), "[Net]\r\nHost = a\r\nPort = 1\r\n")
        end,
        ["SetIniValue: rewrites the whole file in the store's layout"] = function()
            local f = ini("top=1\n[Old]\nx=1\ny = 2\n")
            T.eq(I.SetIniValue(f, "New/k", "1"), true)
            T.eq(read(f), "top = 1\r\n\r\n\r\n[Old]\r\nx = 1\r\ny = 2\r\n\r\n\r\n[New]\r\nk = 1\r\n")
            T.eq(I.SetIniValue(f, "old/X", "v2"), true, "an existing key is replaced")
            T.eq(I.GetIniValue(f, "Old/x"), "v2")
            T.eq(I.SetIniValue(f, "Old/z", 5), true, "a number value is its text")
            T.eq(I.GetIniValue(f, "Old/z"), "5")
            T.eq(read(f), "top = 1\r\n\r\n\r\n[Old]\r\nx = v2\r\ny = 2\r\nz = 5\r\n\r\n\r\n[New]\r\nk = 1\r\n")
        end,
        ["SetIniValue: the value is raw bytes up to a NUL"] = function()
            local f = ini("[s]\n")
            T.eq(I.SetIniValue(f, "s/k", "ab\0cd"), true)
            T.eq(I.GetIniValue(f, "s/k"), "ab")
            T.eq(I.SetIniValue(f, "s/u", "caf\195\169"), true)
            T.eq(I.GetIniValue(f, "s/u"), "caf\195\169")
        end,
        ["SetIniValue: a line break in the value or a name is refused"] = function()
            local before = "[s]\r\nk = 1\r\n"
            local f = ini(before)
            T.eq(I.SetIniValue(f, "s/k", "x\r\n[evil]\r\ny = 1"), false)
            T.eq(I.SetIniValue(f, "s/k", "x\ny"), false)
            T.eq(I.SetIniValue(f, "s/k", "x\ry"), false)
            T.eq(I.SetIniValue(f, "s\n[evil]/k", "1"), false)
            T.eq(I.SetIniValue(f, "s/k\nevil", "1"), false)
            -- Names that would read back as another entry.
            T.eq(I.SetIniValue(f, "s/k\0zz", "1"), false, "zero byte in the key")
            T.eq(I.SetIniValue(f, "s\0x/k", "1"), false, "zero byte in the section")
            T.eq(I.SetIniValue(f, "s/k=ey", "1"), false, "= in the key")
            T.eq(I.SetIniValue(f, "s]x/key", "1"), false, "] in the section")
            T.eq(I.SetIniValue(f, "s/[evil]", "1"), false, "a header")
            T.eq(I.SetIniValue(f, "s/;note", "1"), false, "a comment")
            T.eq(I.SetIniValue(f, "s/#note", "1"), false, "a comment")
            T.eq(read(f), before)
            T.eq(I.SetIniValue(f, "s [1/a;b#c", "x=y"), true, "inside a name, or in a value, they are kept")
            T.eq(I.GetIniValue(f, "s [1/a;b#c"), "x=y")
        end,
        ["a change that would lose lines it does not name leaves the file as it was"] = function()
            for what, before in pairs({
                ["a line without ="] = "[s]\r\nk = 1\r\njust words\r\n",
                ["a duplicate key"] = "[s]\r\nk = 1\r\nk = 2\r\n",
                ["a duplicate key in other case"] = "[s]\r\nHost = a\r\nhost = b\r\n",
                ["a section given twice in other case"] = "[Net]\r\na = 1\r\n[net]\r\nb = 2\r\n",
                ["a comment after the last entry"] = "[s]\r\nk = 1\r\n; the end\r\n",
                ["text after a header"] = "[s] extra\r\nk = 1\r\n",
            }) do
                local f = ini(before)
                T.eq(I.SetIniValue(f, "s/k", "9"), false, what)
                T.eq(I.SetIniValue(f, "t/n", "9"), false, what)
                T.eq(I.RemoveKeyValue(f, "s/k"), false, what)
                T.eq(read(f), before, what)
            end
            -- Comments before entries and headers, blank lines and spacing are
            -- all the store keeps: such a file is rewritten with them.
            local f = ini("; about s\n[ s ]\n\n# about k\nk=1\n  m =  2  \n")
            T.eq(I.SetIniValue(f, "s/k", "9"), true)
            T.eq(read(f), "; about s\r\n\r\n\r\n[s]\r\n\r\n# about k\r\nk = 9\r\nm = 2\r\n")
        end,
        ["SetIniValue is true only when the value reads back as given"] = function()
            local before = "[Sec]\r\nk = 1\r\n"
            local f = ini(before)
            for _, case in ipairs({
                {" Sec/k", "2"}, {"Sec /k", "2"}, {"Sec/ k", "2"}, {"Sec/k ", "2"}, {"Sec/", "2"},
                {"Sec/k", " 2"}, {"Sec/k", "2 "}, {"Sec/k", "\t2"},
            }) do
                T.eq(I.SetIniValue(f, case[1], case[2]), false, case[1] .. "=" .. case[2])
                T.eq(read(f), before, case[1] .. "=" .. case[2])
            end
            T.eq(I.SetIniValue(f, "Sec/k", "2 3"), true, "blanks inside are kept")
            T.eq(I.GetIniValue(f, "Sec/k"), "2 3")
        end,
        ["RemoveKeyValue: a key path with a zero byte removes nothing"] = function()
            local before = "[s]\r\nk = 1\r\n"
            local f = ini(before)
            T.eq(I.RemoveKeyValue(f, "s/k\0x"), false)
            T.eq(read(f), before)
        end,
        ["GetIniValue: a key path with a zero byte names no key"] = function()
            -- Not the key before the zero byte, nor a key of the section
            -- before it.
            local f = ini("k = top\r\n[s]\r\nk = 1\r\n")
            T.eq(I.GetIniValue(f, "s/k"), "1")
            T.eq(I.GetIniValue(f, "s/k\0x"), "")
            T.eq(I.GetIniValue(f, "s\0x/k"), "")
            T.eq(I.GetIniValue(f, "k\0"), "")
            T.eq(I.GetIniValue(f, "k"), "top")
        end,
        ["a file holding a zero byte is read but never rewritten"] = function()
            -- The store reads only up to the zero; a save would drop the rest.
            local before = "[Net]\r\nPort = 80\r\n\0\r\nHost = h\r\n"
            local f = ini(before)
            T.eq(I.GetIniValue(f, "Net/Port"), "80")
            T.eq(I.SetIniValue(f, "Net/Timeout", "5"), "load ini file error.")
            T.eq(I.RemoveKeyValue(f, "Net/Port"), "load ini file error.")
            T.eq(read(f), before)
        end,
        ["SetIniValue: a missing file gives the load error and is not created"] = function()
            local path = tmpDir .. "/nothing-here.ini"
            T.eq(I.SetIniValue(path, "a/b", "1"), "load ini file error.")
            T.eq(read(path), nil)
            T.eq(I.SetIniValue(tmpDir, "a/b", "1"), "load ini file error.", "a directory")
        end,
        ["SetIniValue: a failed save gives false and keeps the old file"] = function()
            -- No temporary file can be made beside the file, so the save fails
            -- whoever runs the test: on Windows beside a name this long (the
            -- file name limit), elsewhere in a directory that takes no new
            -- entry (immutable for root, read-only for anyone else).
            local name, dir, unlock = string.rep("n", 250), tmpDir, nil
            if not T.isWindows then
                dir = tmpDir .. "/locked"
                assert(os.execute("mkdir '" .. dir .. "'") == 0)
                name = "locked/x.ini"
            end
            local before = "[s]\r\nk = old\r\n"
            local f = ini(before, name)
            if not T.isWindows then
                local p = io.popen("id -u")
                local root = p:read("*l") == "0"
                p:close()
                local how = root and "chattr %si '" .. dir .. "'" or "chmod %s '" .. dir .. "'"
                if os.execute(how:format(root and "+" or "555") .. " 2>/dev/null") ~= 0 then
                    T.skip("chattr cannot make this directory immutable")
                end
                unlock = how:format(root and "-" or "755")
            end
            local listing = entries(dir)
            local ok, err = pcall(function()
                T.eq(I.SetIniValue(f, "s/k", "new"), false)
                T.eq(read(f), before)
                T.eq(I.RemoveKeyValue(f, "s/k"), false)
                T.eq(read(f), before)
                T.eq(entries(dir), listing, "no temporary left behind")
            end)
            if unlock then assert(os.execute(unlock) == 0) end
            if not ok then error(err, 0) end
        end,
        ["RemoveKeyValue: emptied sections go; every call rewrites"] = function()
            local f = ini("[a]\nk=1\n[b]\nk=1\nm=2\n")
            T.eq(I.RemoveKeyValue(f, "A/K"), true)
            T.eq(read(f), "[b]\r\nk = 1\r\nm = 2\r\n")
            T.eq(I.RemoveKeyValue(f, "b/k"), true)
            T.eq(read(f), "[b]\r\nm = 2\r\n")
            local g = ini("[x]\nk=1\n")
            T.eq(I.RemoveKeyValue(g, "x/none"), true)
            T.eq(read(g), "[x]\r\nk = 1\r\n", "rewritten with CR LF")
            T.eq(I.RemoveKeyValue(tmpDir .. "/missing.ini", "x/k"), false)
            T.eq(I.RemoveKeyValue(tmpDir, "x/k"), false, "a directory is not a file")
        end,
        ["argv errors touch no file"] = function()
            local before = "[s]\nk=1\n"
            local f = ini(before)
            T.raises("argv error", I.GetIniValue, f)
            T.raises("argv error", I.GetIniValue, f, "")
            T.raises("argv error", I.GetIniValue, "", "s/k")
            T.raises("argv error", I.SetIniValue, f, "s/k")
            T.raises("argv error", I.SetIniValue, f, "s/k", "")
            T.raises("argv error", I.SetIniValue, f, "", "1")
            T.raises("argv error", I.SetIniValue, f, "s/k", "1", "x")
            T.raises("argv error", I.RemoveKeyValue, f, "")
            T.raises("argv error", I.RemoveKeyValue, f, "s/k", "x")
            T.eq(read(f), before)
        end,
    })
end

-- orvexUtil archives and compression against zip/unzip and Python's zlib and gzip.
function orvexScriptMain(luaDir, tmpDir)
    local T = dofile(luaDir .. "/helpers.lua")
    local U = orvexUtil

    local function q(s) return "'" .. s:gsub("'", "'\\''") .. "'" end
    local function sh(cmd) return os.execute(cmd .. " >/dev/null 2>&1") == 0 end
    local function write(path, data) local f = assert(io.open(path, "wb")) f:write(data) f:close() end
    local function read(path)
        local f = io.open(path, "rb")
        if not f then return nil end
        local d = f:read("*a") f:close() return d
    end
    -- Runs a Python snippet with the paths as sys.argv[1..].
    local pyN = 0
    local function py(code, ...)
        pyN = pyN + 1
        local file = tmpDir .. "/snippet" .. pyN .. ".py"
        write(file, "import sys, zlib, gzip, zipfile\n" .. code .. "\n")
        local args = {}
        for i, a in ipairs({...}) do args[i] = q(a) end
        return sh("python3 " .. q(file) .. " " .. table.concat(args, " "))
    end
    local function sample(n)
        local t = {}
        for i = 1, n do t[i] = string.char((i * 31 + math.floor(i / 7)) % 256) end
        return table.concat(t)
    end

    -- A small tree: binary and text files, an executable, an empty directory.
    local src = tmpDir .. "/src"
    T.ok(sh("mkdir -p " .. q(src .. "/sub/deeper") .. " " .. q(src .. "/empty")))
    write(src .. "/a.bin", sample(70000) .. "\0tail")
    write(src .. "/sub/b.txt", "text\n")
    write(src .. "/sub/deeper/run.sh", "#!/bin/sh\necho hi\n")
    T.ok(sh("chmod 755 " .. q(src .. "/sub/deeper/run.sh")))

    return T.run({
        ["DirzipFile makes an archive that unzip extracts"] = function()
            local zip = tmpDir .. "/ours.zip"
            T.eq(U.DirzipFile(src, zip), true)
            T.ok(sh("unzip -tq " .. q(zip)), "unzip -t")
            T.ok(sh("unzip -q " .. q(zip) .. " -d " .. q(tmpDir .. "/by-unzip")))
            T.ok(sh("diff -r " .. q(src) .. " " .. q(tmpDir .. "/by-unzip")), "same tree")
            T.ok(sh("test -x " .. q(tmpDir .. "/by-unzip/sub/deeper/run.sh")), "mode kept")
            -- Replacing an archive inside the packed directory does not pack it into itself.
            local inner = src .. "/self.zip"
            T.eq(U.DirzipFile(src, inner), true)
            T.eq(U.DirzipFile(src, inner), true)
            T.ok(sh("unzip -q " .. q(inner) .. " -d " .. q(tmpDir .. "/self")))
            T.eq(read(tmpDir .. "/self/self.zip"), nil)
            os.remove(inner)
        end,
        ["miniUnzip extracts what zip makes"] = function()
            local zip = tmpDir .. "/theirs.zip"
            T.ok(sh("cd " .. q(src) .. " && zip -qr " .. q(zip) .. " ."))
            local out = tmpDir .. "/not/yet/there"
            T.eq(U.miniUnzip(zip, out), true)
            T.ok(sh("diff -r " .. q(src) .. " " .. q(out)), "same tree")
            T.ok(sh("test -x " .. q(out .. "/sub/deeper/run.sh")), "mode kept")
            T.ok(sh("test -d " .. q(out .. "/empty")), "empty directory")
        end,
        ["archive failures are false"] = function()
            write(tmpDir .. "/junk.zip", "not a zip archive")
            T.eq(U.miniUnzip(tmpDir .. "/junk.zip", tmpDir .. "/junk"), false)
            T.eq(U.miniUnzip(tmpDir .. "/missing.zip", tmpDir .. "/junk"), false)
            T.eq(U.DirzipFile(tmpDir .. "/missing-dir", tmpDir .. "/x.zip"), false)
            T.eq(read(tmpDir .. "/x.zip"), nil)
            T.raises("argv error", U.miniUnzip, tmpDir .. "/junk.zip")
            T.raises("argv error", U.miniUnzip, "", tmpDir)
            T.raises("argv error", U.DirzipFile, src, "")
        end,
        ["entries that leave the target are refused"] = function()
            local out = tmpDir .. "/slip/out"
            T.ok(sh("mkdir -p " .. q(out)))
            for i, bad in ipairs({"../escape.txt", "sub/../../escape.txt", "/tmp/orvex-abs-escape.txt",
                                   "..\\escape.txt", "C:/escape.txt"}) do
                local zip = tmpDir .. "/slip" .. i .. ".zip"
                T.ok(py("with zipfile.ZipFile(sys.argv[1], 'w') as z:\n" ..
                        "    z.writestr('ok.txt', 'fine')\n    z.writestr(sys.argv[2], 'evil')", zip, bad))
                T.eq(U.miniUnzip(zip, out), false, bad)
                T.eq(read(out .. "/ok.txt"), nil, "nothing written for " .. bad)
            end
            T.eq(read(tmpDir .. "/slip/escape.txt"), nil)
            T.eq(read("/tmp/orvex-abs-escape.txt"), nil)
            -- A link already in the target is not written through.
            write(tmpDir .. "/slip/victim.txt", "untouched")
            T.ok(sh("ln -s ../victim.txt " .. q(out .. "/link.txt")))
            local zip = tmpDir .. "/slip-link.zip"
            T.ok(py("with zipfile.ZipFile(sys.argv[1], 'w') as z:\n    z.writestr('link.txt', 'evil')", zip))
            T.eq(U.miniUnzip(zip, out), false)
            T.eq(read(tmpDir .. "/slip/victim.txt"), "untouched")
        end,
        ["Compress is gzip and zlibCompress is zlib"] = function()
            local data = sample(100000) .. "\0\0end"
            write(tmpDir .. "/plain", data)
            write(tmpDir .. "/ours.gz", U.Compress(data))
            write(tmpDir .. "/ours.z", U.zlibCompress(data))
            T.ok(py("d = open(sys.argv[1], 'rb').read()\n" ..
                    "assert gzip.decompress(open(sys.argv[2], 'rb').read()) == d\n" ..
                    "assert zlib.decompress(open(sys.argv[3], 'rb').read()) == d\n" ..
                    "open(sys.argv[4], 'wb').write(gzip.compress(d) + gzip.compress(b'more'))\n" ..
                    "open(sys.argv[5], 'wb').write(zlib.compress(d, 9))",
                    tmpDir .. "/plain", tmpDir .. "/ours.gz", tmpDir .. "/ours.z",
                    tmpDir .. "/theirs.gz", tmpDir .. "/theirs.z"), "Python reads ours, writes its own")
            T.ok(U.UnCompress(read(tmpDir .. "/theirs.gz")) == data .. "more", "two gzip members")
            T.ok(U.UnCompress(read(tmpDir .. "/theirs.z")) == data, "zlib stream")
            T.ok(U.UnCompress(U.Compress(data)) == data, "round trip")
            T.raises("argv error", U.Compress, "")
            T.raises("argv error", U.UnCompress, "")
            T.raises("argv error", U.zlibCompress)
        end,
        ["UnCompress refuses bombs, truncation and garbage"] = function()
            -- 33 MiB of zeros in about 33 KB: past the output limit.
            T.ok(py("open(sys.argv[1], 'wb').write(zlib.compress(bytes(33 << 20), 9))\n" ..
                    "open(sys.argv[2], 'wb').write(gzip.compress(bytes(32 << 20)))",
                    tmpDir .. "/bomb.z", tmpDir .. "/limit.gz"))
            local bomb = read(tmpDir .. "/bomb.z")
            T.ok(#bomb < 64 * 1024, "small input")
            T.eq(U.UnCompress(bomb), "")
            T.eq(#U.UnCompress(read(tmpDir .. "/limit.gz")), 32 * 1024 * 1024, "exactly at the limit")
            local good = U.zlibCompress(sample(5000))
            T.eq(U.UnCompress(good:sub(1, #good - 3)), "")
            T.eq(U.UnCompress(good .. "x"), "")
            T.eq(U.UnCompress("plain text, not compressed"), "")
        end,
    })
end

-- orvexUtil archives and compression against zip/unzip and Python's zlib and gzip.
-- On Windows (under Wine) the scripts cannot run those Linux peers: they use
-- what the peers made beforehand (fixtures/peers, made by its make.sh).
function orvexScriptMain(luaDir, tmpDir, fixtureDir)
    local T = dofile(luaDir .. "/helpers.lua")
    local U = orvexUtil
    local peers = fixtureDir .. "/peers"
    local noPeers = "a script under Wine cannot run the Linux peer (cmd.exe finds none); the C++ test WindowsPeers checks it"

    local q, write, read = T.shellQuote, T.write, T.read
    local function sh(cmd) return os.execute(cmd .. " >/dev/null 2>&1") == 0 end
    local function mkdirs(path)
        if T.isWindows then return os.execute('mkdir "' .. path:gsub("/", "\\") .. '" 2>NUL') == 0 end
        return sh("mkdir -p " .. q(path))
    end
    local function isDir(path)
        local f = io.open(path .. "/.probe", "wb")
        if not f then return false end
        f:close() os.remove(path .. "/.probe") return true
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

    -- A small tree: binary and text files, an executable, an empty directory
    -- (fixtures/peers/tree.zip holds the same).
    local src = tmpDir .. "/src"
    local files = { ["a.bin"] = sample(70000) .. "\0tail", ["sub/b.txt"] = "text\n",
                    ["sub/deeper/run.sh"] = "#!/bin/sh\necho hi\n" }
    T.ok(mkdirs(src .. "/sub/deeper") and mkdirs(src .. "/empty"))
    for name, data in pairs(files) do write(src .. "/" .. name, data) end
    if not T.isWindows then T.ok(sh("chmod 755 " .. q(src .. "/sub/deeper/run.sh"))) end
    -- The tree extracted into `dir`, Unix mode bits included where there are any.
    local function sameTree(dir)
        for name, data in pairs(files) do T.ok(read(dir .. "/" .. name) == data, name) end
        T.ok(isDir(dir .. "/empty"), "empty directory")
        if not T.isWindows then
            T.ok(sh("diff -r " .. q(src) .. " " .. q(dir)), "same tree")
            T.ok(sh("test -x " .. q(dir .. "/sub/deeper/run.sh")), "mode kept")
        end
    end

    return T.run({
        ["DirzipFile makes an archive that unzip extracts"] = function()
            if T.isWindows then T.skip(noPeers) end
            local zip = tmpDir .. "/ours.zip"
            T.eq(U.DirzipFile(src, zip), true)
            T.ok(sh("unzip -tq " .. q(zip)), "unzip -t")
            T.ok(sh("unzip -q " .. q(zip) .. " -d " .. q(tmpDir .. "/by-unzip")))
            sameTree(tmpDir .. "/by-unzip")
        end,
        ["DirzipFile and miniUnzip round trip a tree"] = function()
            local zip = tmpDir .. "/round.zip"
            T.eq(U.DirzipFile(src, zip), true)
            T.eq(U.miniUnzip(zip, tmpDir .. "/round"), true)
            sameTree(tmpDir .. "/round")
            -- Replacing an archive inside the packed directory does not pack it into itself.
            local inner = src .. "/self.zip"
            T.eq(U.DirzipFile(src, inner), true)
            T.eq(U.DirzipFile(src, inner), true)
            T.eq(U.miniUnzip(inner, tmpDir .. "/self"), true)
            T.ok(read(tmpDir .. "/self/a.bin") == files["a.bin"], "packed")
            T.eq(read(tmpDir .. "/self/self.zip"), nil)
            os.remove(inner)
        end,
        ["miniUnzip extracts what zip makes"] = function()
            local zip = peers .. "/tree.zip"
            if not T.isWindows then
                zip = tmpDir .. "/theirs.zip"
                T.ok(sh("cd " .. q(src) .. " && zip -qr " .. q(zip) .. " ."))
            end
            local out = tmpDir .. "/not/yet/there"
            T.eq(U.miniUnzip(zip, out), true)
            sameTree(out)
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
            T.ok(mkdirs(out))
            -- fixtures/peers/slipN.zip: "ok.txt", then the Nth of these (the last
            -- three are names that only Windows reads as something else).
            local names = {"../escape.txt", "sub/../../escape.txt", "/tmp/orvex-abs-escape.txt",
                           "..\\escape.txt", "C:/escape.txt"}
            if T.isWindows then
                for _, name in ipairs({".. /escape.txt", "sub/NUL.txt", "ok.txt:stream"}) do names[#names + 1] = name end
            end
            for i, bad in ipairs(names) do
                local zip = peers .. "/slip" .. i .. ".zip"
                if not T.isWindows then
                    zip = tmpDir .. "/slip" .. i .. ".zip"
                    T.ok(py("with zipfile.ZipFile(sys.argv[1], 'w') as z:\n" ..
                            "    z.writestr('ok.txt', 'fine')\n    z.writestr(sys.argv[2], 'evil')", zip, bad))
                end
                T.eq(U.miniUnzip(zip, out), false, bad)
                T.eq(read(out .. "/ok.txt"), nil, "nothing written for " .. bad)
            end
            T.eq(read(tmpDir .. "/slip/escape.txt"), nil)
            T.eq(read("/tmp/orvex-abs-escape.txt"), nil)
        end,
        ["a link already in the target is not written through"] = function()
            if T.isWindows then T.skip("Wine makes no symbolic links for a test (mklink does nothing)") end
            local out = tmpDir .. "/link/out"
            T.ok(mkdirs(out))
            write(tmpDir .. "/link/victim.txt", "untouched")
            T.ok(sh("ln -s ../victim.txt " .. q(out .. "/link.txt")))
            local zip = tmpDir .. "/slip-link.zip"
            T.ok(py("with zipfile.ZipFile(sys.argv[1], 'w') as z:\n    z.writestr('link.txt', 'evil')", zip))
            T.eq(U.miniUnzip(zip, out), false)
            T.eq(read(tmpDir .. "/link/victim.txt"), "untouched")
            -- Nor is a link to a directory: "sub/evil.txt" would land outside.
            T.ok(mkdirs(tmpDir .. "/link/outside"))
            T.ok(sh("ln -s ../outside " .. q(out .. "/sub")))
            T.ok(py("with zipfile.ZipFile(sys.argv[1], 'w') as z:\n    z.writestr('sub/evil.txt', 'evil')", zip))
            T.eq(U.miniUnzip(zip, out), false)
            T.eq(read(tmpDir .. "/link/outside/evil.txt"), nil)
            T.ok(py("with zipfile.ZipFile(sys.argv[1], 'w') as z:\n    z.writestr('sub/deeper/', '')", zip))
            T.eq(U.miniUnzip(zip, out), false, "a directory entry below the link")
            T.eq(isDir(tmpDir .. "/link/outside/deeper"), false)
        end,
        ["a damaged entry, zero bytes in paths and old times"] = function()
            if T.isWindows then T.skip(noPeers) end
            -- A stored entry with one byte changed whose sizes claim one byte
            -- more: the stream ends early, where its checksum is never checked.
            local zip = tmpDir .. "/damaged.zip"
            T.ok(py("import struct\n" ..
                    "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_STORED) as z:\n" ..
                    "    z.writestr('amount.txt', 'amount=100')\n" ..
                    "b = bytearray(open(sys.argv[1], 'rb').read())\n" ..
                    "i = b.index(b'amount=100'); b[i + 7] = ord('9')\n" ..
                    "for sig, off in ((b'PK\\x03\\x04', 18), (b'PK\\x01\\x02', 20)):\n" ..
                    "    h = b.index(sig)\n" ..
                    "    for f in (off, off + 4):\n" ..
                    "        struct.pack_into('<I', b, h + f, struct.unpack_from('<I', b, h + f)[0] + 1)\n" ..
                    "open(sys.argv[1], 'wb').write(b)", zip))
            local out = tmpDir .. "/damaged"
            T.eq(U.miniUnzip(zip, out), false)
            T.ok(read(out .. "/amount.txt") ~= "amount=900", "no damaged entry passes for whole")

            -- The system would read each path only up to the zero.
            local good = tmpDir .. "/zero.zip"
            T.ok(py("with zipfile.ZipFile(sys.argv[1], 'w') as z:\n    z.writestr('f.txt', 'x')", good))
            T.eq(U.miniUnzip(good .. "\0.other", tmpDir .. "/zero-out"), false)
            T.eq(U.miniUnzip(good, tmpDir .. "/zero-out\0/sub"), false)
            T.eq(isDir(tmpDir .. "/zero-out"), false)
            T.eq(U.DirzipFile(src, tmpDir .. "/made.zip\0.ignored"), false)
            T.eq(read(tmpDir .. "/made.zip"), nil)

            -- Entry times run from 1980: an older file is stored at the start.
            local old = tmpDir .. "/old"
            T.ok(mkdirs(old))
            write(old .. "/f", "x")
            T.ok(sh("touch -d '1970-01-02 12:00' " .. q(old .. "/f")))
            T.eq(U.DirzipFile(old, tmpDir .. "/old.zip"), true)
            T.ok(py("t = zipfile.ZipFile(sys.argv[1]).getinfo('f').date_time\n" ..
                    "sys.exit(0 if t == (1980, 1, 1, 0, 0, 0) else 1)", tmpDir .. "/old.zip"))
        end,
        ["Python reads Compress as gzip and zlibCompress as zlib"] = function()
            if T.isWindows then T.skip(noPeers) end
            local data = sample(100000) .. "\0\0end"
            write(tmpDir .. "/plain", data)
            write(tmpDir .. "/ours.gz", U.Compress(data))
            write(tmpDir .. "/ours.z", U.zlibCompress(data))
            T.ok(py("d = open(sys.argv[1], 'rb').read()\n" ..
                    "assert gzip.decompress(open(sys.argv[2], 'rb').read()) == d\n" ..
                    "assert zlib.decompress(open(sys.argv[3], 'rb').read()) == d",
                    tmpDir .. "/plain", tmpDir .. "/ours.gz", tmpDir .. "/ours.z"), "Python reads ours")
        end,
        ["UnCompress reads Python's gzip and zlib data"] = function()
            -- fixtures/peers: gzip.compress(data) + gzip.compress(b'more'), zlib.compress(data, 9).
            local data = sample(100000) .. "\0\0end"
            T.ok(U.UnCompress(read(peers .. "/theirs.gz")) == data .. "more", "two gzip members")
            T.ok(U.UnCompress(read(peers .. "/theirs.z")) == data, "zlib stream")
            T.ok(U.UnCompress(U.Compress(data)) == data, "round trip")
            T.ok(U.UnCompress(U.zlibCompress(data)) == data, "zlib round trip")
            T.raises("argv error", U.Compress, "")
            T.raises("argv error", U.UnCompress, "")
            T.raises("argv error", U.zlibCompress)
        end,
        ["UnCompress refuses bombs, truncation and garbage"] = function()
            -- 33 MiB of zeros in about 33 KB: past the output limit.
            local bomb, limit
            if T.isWindows then
                bomb, limit = U.zlibCompress(string.rep("\0", 33 * 2 ^ 20)), U.Compress(string.rep("\0", 32 * 2 ^ 20))
            else
                T.ok(py("open(sys.argv[1], 'wb').write(zlib.compress(bytes(33 << 20), 9))\n" ..
                        "open(sys.argv[2], 'wb').write(gzip.compress(bytes(32 << 20)))",
                        tmpDir .. "/bomb.z", tmpDir .. "/limit.gz"))
                bomb, limit = read(tmpDir .. "/bomb.z"), read(tmpDir .. "/limit.gz")
            end
            T.ok(#bomb < 64 * 1024, "small input")
            T.eq(U.UnCompress(bomb), "")
            T.eq(#U.UnCompress(limit), 32 * 1024 * 1024, "exactly at the limit")
            local good = U.zlibCompress(sample(5000))
            T.eq(U.UnCompress(good:sub(1, #good - 3)), "")
            T.eq(U.UnCompress(good .. "x"), "")
            T.eq(U.UnCompress("plain text, not compressed"), "")
            -- Only gzip members follow each other.
            local gz = U.Compress("hello")
            T.eq(U.UnCompress(gz .. gz), "hellohello")
            T.eq(U.UnCompress(good .. good), "", "two zlib streams")
            T.eq(U.UnCompress(gz .. good), "", "zlib after gzip")
            T.eq(U.UnCompress(good .. gz), "", "gzip after zlib")
        end,
    })
end

-- orvexUtil: files and directories, checked against the file system through
-- Lua's io library and the shell's stat, id and pwd (cmd.exe's cd, attrib
-- and mklink on Windows).
function orvexScriptMain(luaDir, tmpDir)
    local T = dofile(luaDir .. "/helpers.lua")
    local U = orvexUtil

    local put, get = T.write, T.read
    local function sh(cmd)
        local p = assert(io.popen(cmd))
        local s = p:read("*a")
        p:close()
        return (s:gsub("\n$", ""))
    end
    local win = T.isWindows
    local function q(s)
        if win then return '"' .. s:gsub("/", "\\") .. '"' end
        return T.shellQuote(s)
    end
    local n = 0
    local function fresh(name)
        n = n + 1
        local dir = tmpDir .. "/" .. name .. n
        assert(os.execute((win and "mkdir " or "mkdir -p ") .. q(dir)) == 0)
        return dir
    end
    -- The current directory, and the separator absoluteFilePath joins with.
    local cwd = win and sh("cd") or sh("pwd")
    local sep = win and "\\" or "/"
    -- Text of os.date for a moment, for comparing time stamps.
    local function stamp(t) return os.date("%Y-%m-%d %H:%M:%S", t) end

    return T.run({
        ["argument checks"] = function()
            for _, f in ipairs({U.IsFile, U.IsDir, U.mkdir, U.RemoveFile, U.RemoveDir, U.RemoveFileInDir,
                U.GetAllFileFromDir, U.GetOneFileFromDir, U.GetFileOwner, U.GetFileCreateTime,
                U.GetFileLastModified, U.ReadFullFile, U.GetFileSize, U.absoluteFilePath,
                U.GetFileNameFromPath}) do
                T.raises("argv error", f)
                T.raises("argv error", f, "a", "b")
                T.raises("argv error", f, "")
                T.raises("argv error", f, true)
                T.raises("argv error", f, nil)
            end
            T.raises("argv error", U.CopyFileUtil, "a", "")
            T.raises("argv error", U.CopyDirectoryFile, "", "b")
            T.raises("argv error", U.WriteNewFile, tmpDir .. "/w", "")
            T.raises("argv error", U.WriteAppenFile, tmpDir .. "/w", "")
            T.raises("argv error", U.WriteOffsetFile, tmpDir .. "/w", 0, "")
            T.raises("argv error", U.WriteOffsetFile, tmpDir .. "/w", "x")
            T.raises("argv error", U.ReadOffsetFile, tmpDir .. "/w", 0, 0)
            T.raises("argv error", U.ReadOffsetFile, tmpDir .. "/w", 0, "ten")
            T.raises("argv error", U.GetBufferSize, "")
            T.eq(get(tmpDir .. "/w"), nil, "nothing written by a refused call")
            -- A number is a path in its text form.
            T.eq(U.absoluteFilePath(123), cwd .. sep .. "123")
            T.eq(U.IsFile(123), false)
        end,

        ["bytes are written and read unchanged"] = function()
            local dir = fresh("bytes")
            local p = dir .. "/data.bin"
            local bytes = "a\0b\255\254\192\0"
            T.eq(U.WriteNewFile(p, bytes), true)
            T.eq(get(p), bytes, "file")
            T.eq(U.ReadFullFile(p), bytes, "ReadFullFile")
            T.eq(U.GetFileSize(p), 7)
            T.eq(U.WriteAppenFile(p, "\0z"), true)
            T.eq(get(p), bytes .. "\0z")
            T.eq(U.WriteOffsetFile(p, 1, "XY"), true)
            T.eq(get(p), "aXY\255\254\192\0\0z")
            T.eq(U.ReadOffsetFile(p, 3, 2), "\255\254")
            T.eq(U.ReadOffsetFile(p, 7, 100), "\0z", "a read past the end gives what there is")
            T.eq(T.nresults(U.ReadOffsetFile(p, 9, 1)), 0, "offset at the end")
            T.eq(T.nresults(U.ReadOffsetFile(p, 50, 1)), 0, "offset past the end")
            T.eq(T.nresults(U.ReadOffsetFile(p, -1, 1)), 0, "negative offset")
            T.eq(T.nresults(U.ReadOffsetFile(p, 0, -1)), 0, "negative length")
            T.eq(T.nresults(U.ReadOffsetFile(dir .. "/missing", 0, 1)), 0, "missing file")
            -- Writing past the end leaves a gap of zero bytes; a new file is made.
            T.eq(U.WriteOffsetFile(dir .. "/gap", 3, "q"), true)
            T.eq(get(dir .. "/gap"), "\0\0\0q")
            T.eq(U.WriteAppenFile(dir .. "/new", 7), true)
            T.eq(get(dir .. "/new"), "7")
            T.eq(U.WriteOffsetFile(p, -1, "x"), false)
            T.eq(U.GetBufferSize("a\0b"), 3)
            T.eq(U.GetBufferSize(12.5), 4)
        end,

        ["empty and missing files read as nothing"] = function()
            local dir = fresh("empty")
            put(dir .. "/zero", "")
            T.eq(T.nresults(U.ReadFullFile(dir .. "/zero")), 0)
            T.eq(T.nresults(U.ReadFullFile(dir .. "/missing")), 0)
            T.eq(T.nresults(U.ReadFullFile(dir)), 0, "a directory")
            T.eq(U.GetFileSize(dir .. "/zero"), 0)
            T.eq(U.GetFileSize(dir .. "/missing"), 0)
            T.eq(T.nresults(U.GetFileOwner(dir .. "/missing")), 0)
            T.eq(T.nresults(U.GetFileCreateTime(dir .. "/missing")), 0)
            T.eq(T.nresults(U.GetFileLastModified(dir .. "/missing")), 0)
        end,

        ["WriteNewFile replaces whole files and keeps their mode"] = function()
            local dir = fresh("atomic")
            local p = dir .. "/conf"
            put(p, "old contents that are longer")
            -- Windows has no mode bits; there the file keeps its attributes.
            assert(os.execute((win and "attrib +h " or "chmod 640 ") .. q(p)) == 0)
            T.eq(U.WriteNewFile(p, "new"), true)
            T.eq(get(p), "new")
            if win then
                T.ok(sh("attrib " .. q(p)):sub(1, 12):find("H") ~= nil, "still hidden")
                assert(os.execute("attrib -h " .. q(p)) == 0)
            else
                T.eq(sh("stat -c %a " .. q(p)), "640")
            end
            T.same(U.GetAllFileFromDir(dir), {p}, "no temporary left beside it")
            T.eq(U.WriteNewFile(dir .. "/no/such/dir/f", "x"), false)
            T.same(U.GetAllFileFromDir(dir), {p})
        end,

        ["removal of missing paths and of the other kind is true"] = function()
            local dir = fresh("rm")
            local f = dir .. "/f"
            put(f, "x")
            T.eq(U.RemoveFile(dir .. "/missing"), true)
            T.eq(U.RemoveFile(dir), true)
            T.eq(U.IsDir(dir), true, "a directory is not removed as a file")
            T.eq(U.RemoveDir(dir .. "/missing"), true)
            T.eq(U.RemoveDir(f), true)
            T.eq(U.RemoveFileInDir(f), true)
            T.eq(get(f), "x", "a file is not removed as a directory")
            T.eq(U.RemoveFile(f), true)
            T.eq(get(f), nil)
        end,

        ["RemoveFileInDir empties a directory, RemoveDir removes it"] = function()
            local dir = fresh("tree")
            assert(U.mkdir(dir .. "/a/b/c"))
            put(dir .. "/a/b/c/deep", "1")
            put(dir .. "/top", "2")
            T.eq(U.RemoveFileInDir(dir), true)
            T.eq(U.IsDir(dir), true)
            T.eq(T.nresults(U.GetAllFileFromDir(dir)), 0)
            assert(U.mkdir(dir .. "/x/y"))
            put(dir .. "/x/y/z", "3")
            T.eq(U.RemoveDir(dir), true)
            T.eq(U.IsDir(dir), false)
        end,

        ["links to directories are removed and copied as links, never followed"] = function()
            local dir = fresh("tree")
            put(dir .. "/top", "2")
            local outside = fresh("outside")
            put(outside .. "/keep", "k")
            if win then
                os.execute("mklink /d " .. q(dir .. "/link") .. " " .. q(outside) .. " >NUL 2>NUL")
                if not U.IsDir(dir .. "/link") then
                    T.skip("no directory links here: Wine's mklink makes none")
                end
            else
                assert(os.execute("ln -s " .. q(outside) .. " " .. q(dir .. "/link")) == 0)
            end
            -- A copy keeps the link as a link; Windows copies no directory link
            -- (making one needs a privilege) and says so.
            local copy = fresh("linkcopy") .. "/c"
            T.eq(U.CopyDirectoryFile(dir, copy), not win)
            T.eq(get(copy .. "/top"), "2")
            T.eq(get(copy .. "/link/keep"), (not win) and "k" or nil)
            T.eq(U.RemoveFileInDir(dir), true)
            T.eq(T.nresults(U.GetAllFileFromDir(dir)), 0)
            T.eq(get(outside .. "/keep"), "k")
            assert(os.execute((win and "mklink /d " .. q(dir .. "/link") .. " " .. q(outside) .. " >NUL"
                or "ln -s " .. q(outside) .. " " .. q(dir .. "/link"))) == 0)
            T.eq(U.RemoveDir(dir), true)
            T.eq(U.IsDir(dir), false)
            T.eq(get(outside .. "/keep"), "k")
        end,

        ["a path with a zero byte names no file"] = function()
            local dir = fresh("zero")
            local p = dir .. "/important"
            put(p, "keep")
            -- The system would read each path only up to the zero: "important".
            local bad = p .. "\0.tmp"
            T.eq(U.IsFile(bad), false)
            T.eq(U.RemoveFile(bad), true, "no such file: nothing to remove")
            T.eq(U.WriteNewFile(bad, "x"), false)
            T.eq(U.WriteAppenFile(bad, "x"), false)
            T.eq(U.WriteOffsetFile(bad, 0, "x"), false)
            T.eq(U.CopyFileUtil(bad, dir .. "/copy"), false)
            T.eq(U.CopyFileUtil(dir .. "/missing", bad), false)
            T.eq(T.nresults(U.ReadFullFile(bad)), 0)
            T.eq(T.nresults(U.ReadOffsetFile(bad, 0, 4)), 0)
            T.eq(U.GetFileSize(bad), 0)
            T.eq(U.RemoveDir(dir .. "\0x"), true, "no such directory")
            T.eq(U.RemoveFileInDir(dir .. "\0x"), true, "no such directory")
            T.eq(get(p), "keep")
            T.eq(U.IsDir(dir), true)
            T.eq(T.nresults(U.GetAllFileFromDir(dir .. "\0x")), 0)
        end,

        ["whole-file writes go through a link; long names; pipes and devices are not files"] = function()
            local dir = fresh("special")
            if win then
                -- The null device is no file: nothing is read from or written to it.
                T.eq(T.nresults(U.ReadFullFile("NUL")), 0)
                T.eq(T.nresults(U.ReadOffsetFile("NUL", 0, 4)), 0)
                T.eq(U.WriteAppenFile("NUL", "x"), false)
                T.eq(U.WriteOffsetFile("NUL", 0, "x"), false)
                T.skip("links and named pipes are made differently on Windows; paths stop at 260 there")
            end
            -- A name near the file system's limit still gets its temporary.
            local long = dir .. "/" .. string.rep("n", 250)
            T.eq(U.WriteNewFile(long, "long"), true)
            T.eq(get(long), "long")
            T.eq(U.CopyFileUtil(long, long .. "x"), true)
            T.eq(get(long .. "x"), "long")
            put(dir .. "/target", "old")
            assert(os.execute("ln -s target " .. q(dir .. "/link")) == 0)
            T.eq(U.WriteNewFile(dir .. "/link", "new"), true)
            T.eq(get(dir .. "/target"), "new", "the link's target is written")
            T.eq(sh("readlink " .. q(dir .. "/link")), "target", "the link stays a link")
            T.eq(U.CopyFileUtil(long, dir .. "/link"), true)
            T.eq(get(dir .. "/target"), "long")
            -- A named pipe without a peer would block an open for good; an
            -- endless device would be read for good.
            local fifo = dir .. "/fifo"
            assert(os.execute("mkfifo " .. q(fifo)) == 0)
            T.eq(T.nresults(U.ReadFullFile(fifo)), 0)
            T.eq(T.nresults(U.ReadOffsetFile(fifo, 0, 10)), 0)
            T.eq(U.WriteAppenFile(fifo, "x"), false)
            T.eq(U.WriteOffsetFile(fifo, 0, "x"), false)
            T.eq(U.CopyFileUtil(fifo, dir .. "/fromfifo"), false)
            T.eq(T.nresults(U.ReadFullFile("/dev/zero")), 0)
            T.eq(T.nresults(U.ReadOffsetFile("/dev/zero", 0, 2 ^ 40)), 0)
        end,

        ["pipes, sockets and devices are never replaced, nor through a link"] = function()
            if win then T.skip("no named pipes, sockets or device nodes of this kind here; FileSafety checks Wine's") end
            local dir = fresh("notfiles")
            local src = dir .. "/src"
            put(src, "data")
            assert(U.mkdir(dir .. "/tree"))
            put(dir .. "/tree/f", "f")
            local kinds = {}
            local function made(path, kind) kinds[#kinds + 1] = {path, kind} end
            assert(os.execute("mkfifo " .. q(dir .. "/fifo")) == 0)
            made(dir .. "/fifo", "fifo")
            assert(os.execute("python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "
                .. q(dir .. "/sock")) == 0)
            made(dir .. "/sock", "socket")
            -- A copy of the null device: a write that replaced it would take
            -- the machine's /dev/null away.
            local root = sh("id -u") == "0"
            if root then
                assert(os.execute("mknod " .. q(dir .. "/null") .. " c 1 3") == 0)
                made(dir .. "/null", "character special file")
            end
            assert(os.execute("ln -s fifo " .. q(dir .. "/tofifo")) == 0)
            for _, k in ipairs(kinds) do
                local path, kind = k[1], k[2]
                T.eq(U.WriteNewFile(path, "x"), false, "WriteNewFile " .. kind)
                T.eq(U.CopyFileUtil(src, path), false, "CopyFileUtil " .. kind)
                T.eq(U.DirzipFile(dir .. "/tree", path), false, "DirzipFile " .. kind)
                T.eq(sh("stat -c %F " .. q(path)), kind, "still a " .. kind)
            end
            -- A link at the named path is followed to what it names: a pipe.
            T.eq(U.WriteNewFile(dir .. "/tofifo", "x"), false)
            T.eq(U.CopyFileUtil(src, dir .. "/tofifo"), false)
            T.eq(sh("stat -c %F " .. q(dir .. "/tofifo")), "symbolic link")
            T.eq(sh("stat -L -c %F " .. q(dir .. "/tofifo")), "fifo")
            local want = {dir .. "/fifo", dir .. "/sock", src, dir .. "/tofifo", dir .. "/tree"}
            if root then table.insert(want, 2, dir .. "/null") end
            T.same(U.GetAllFileFromDir(dir), want, "no temporary left")
            if not root then T.skip("device nodes need root (pipes and sockets were checked)") end
        end,

        ["a replaced file keeps its owner, group and mode"] = function()
            if win then T.skip("no owners and modes of this kind here; FileSafety checks the security descriptor") end
            if sh("id -u") ~= "0" then T.skip("giving a file to nobody needs root") end
            local dir = fresh("owner")
            local want = sh("id -un nobody") .. ":" .. sh("id -gn nobody") .. " 600"
            local function owned(path, bytes)
                put(path, bytes)
                assert(os.execute("chown nobody:" .. sh("id -gn nobody") .. " " .. q(path)
                    .. " && chmod 600 " .. q(path)) == 0)
            end
            local function who(path) return sh("stat -c '%U:%G %a' " .. q(path)) end
            put(dir .. "/src", "copied")
            assert(U.mkdir(dir .. "/tree"))
            put(dir .. "/tree/f", "packed")

            owned(dir .. "/written", "old")
            T.eq(U.WriteNewFile(dir .. "/written", "new"), true)
            T.eq(get(dir .. "/written"), "new")
            T.eq(who(dir .. "/written"), want, "WriteNewFile")

            owned(dir .. "/copy", "old")
            T.eq(U.CopyFileUtil(dir .. "/src", dir .. "/copy"), true)
            T.eq(get(dir .. "/copy"), "copied")
            T.eq(who(dir .. "/copy"), want, "CopyFileUtil")

            owned(dir .. "/conf.ini", "[s]\r\nk = 1\r\n")
            T.eq(orvexIni.SetIniValue(dir .. "/conf.ini", "s/k", "2"), true)
            T.eq(orvexIni.GetIniValue(dir .. "/conf.ini", "s/k"), "2")
            T.eq(who(dir .. "/conf.ini"), want, "SetIniValue")

            owned(dir .. "/a.zip", "old")
            T.eq(U.DirzipFile(dir .. "/tree", dir .. "/a.zip"), true)
            T.eq(who(dir .. "/a.zip"), want, "DirzipFile")
            T.eq(U.miniUnzip(dir .. "/a.zip", dir .. "/out"), true)
            T.eq(get(dir .. "/out/f"), "packed")

            -- Through a link: the file it names keeps its owner; the link stays.
            owned(dir .. "/named", "old")
            assert(os.execute("ln -s named " .. q(dir .. "/link")) == 0)
            T.eq(U.WriteNewFile(dir .. "/link", "via link"), true)
            T.eq(get(dir .. "/named"), "via link")
            T.eq(who(dir .. "/named"), want, "through a link")
            T.eq(sh("readlink " .. q(dir .. "/link")), "named")
            -- A new file is the agent's.
            T.eq(U.WriteNewFile(dir .. "/fresh", "x"), true)
            T.eq(sh("stat -c %U " .. q(dir .. "/fresh")), sh("id -un"))
        end,

        ["links planted inside a tree are never followed"] = function()
            if win then T.skip("Wine's mklink makes no links; FileSafety plants them from Linux") end
            local dir = fresh("planted")
            local out = dir .. "/outside"
            assert(U.mkdir(out .. "/dir"))
            put(out .. "/victim", "keep")
            local function untouched()
                T.eq(get(out .. "/victim"), "keep", "the file outside")
                T.eq(T.nresults(U.GetAllFileFromDir(out .. "/dir")), 0, "the directory outside")
            end
            local function link(to, at) assert(os.execute("ln -s " .. q(to) .. " " .. q(at)) == 0) end
            local src, dst = dir .. "/src", dir .. "/dst"
            assert(U.mkdir(src .. "/sub") and U.mkdir(dst))
            put(src .. "/file", "new")
            put(src .. "/sub/inner", "in")
            -- Links where the copy puts a file and a directory.
            link(out .. "/victim", dst .. "/file")
            link(out .. "/dir", dst .. "/sub")
            T.eq(U.CopyDirectoryFile(src, dst), false, "a link in the way")
            untouched()
            T.eq(sh("readlink " .. q(dst .. "/file")), out .. "/victim", "left as it was")
            T.eq(sh("readlink " .. q(dst .. "/sub")), out .. "/dir", "left as it was")

            -- Links in the source are copied as links.
            link(out .. "/victim", src .. "/tofile")
            link(out .. "/dir", src .. "/todir")
            local copy = dir .. "/copy"
            T.eq(U.CopyDirectoryFile(src, copy), true)
            T.eq(get(copy .. "/file"), "new")
            T.eq(get(copy .. "/sub/inner"), "in")
            T.eq(sh("readlink " .. q(copy .. "/tofile")), out .. "/victim")
            T.eq(sh("readlink " .. q(copy .. "/todir")), out .. "/dir")
            T.eq(U.CopyDirectoryFile(src, copy), true, "again, over the copy and its links")
            untouched()

            -- Removal takes the links, never what they name.
            T.eq(U.RemoveFileInDir(copy), true)
            T.eq(T.nresults(U.GetAllFileFromDir(copy)), 0)
            T.eq(U.RemoveDir(src), true)
            T.eq(U.IsDir(src), false)
            T.eq(U.RemoveDir(dst), true)
            T.eq(U.IsDir(dst), false)
            untouched()
        end,

        ["listings are sorted, flat and full paths"] = function()
            local dir = fresh("list")
            T.eq(T.nresults(U.GetAllFileFromDir(dir)), 0, "empty directory")
            T.eq(T.nresults(U.GetAllFileFromDir(dir .. "/missing")), 0)
            assert(U.mkdir(dir .. "/c/inner"))
            assert(U.mkdir(dir .. "/a"))
            T.eq(T.nresults(U.GetOneFileFromDir(dir)), 0, "only subdirectories")
            put(dir .. "/c/inner/deep", "")
            -- Windows names ignore case: "b" and "B" would be one file there.
            local lower = win and "bb" or "b"
            put(dir .. "/" .. lower, "")
            put(dir .. "/B", "")
            local want = {dir .. "/B", dir .. "/a", dir .. "/" .. lower, dir .. "/c"}
            T.same(U.GetAllFileFromDir(dir), want)
            T.same(U.GetAllFileFromDir(dir .. "/"), want)
            if win then
                T.same(U.GetAllFileFromDir((dir:gsub("/", "\\"))),
                    {(want[1]:gsub("/", "\\")), (want[2]:gsub("/", "\\")), (want[3]:gsub("/", "\\")),
                     (want[4]:gsub("/", "\\"))}, "the separator the path uses")
            end
            -- An absolute path, with Windows' own separators there.
            T.eq(U.GetOneFileFromDir(dir), win and (dir .. "\\B"):gsub("/", "\\") or dir .. "/B")
            T.eq(T.nresults(U.GetOneFileFromDir(dir .. "/B")), 0, "a file is no directory")
        end,

        ["mkdir and copies"] = function()
            local dir = fresh("copy")
            T.eq(U.mkdir(dir .. "/src/sub/deeper"), true)
            T.eq(U.mkdir(dir .. "/src/sub/deeper"), true, "an existing directory")
            put(dir .. "/src/f", "top\0")
            put(dir .. "/src/sub/deeper/g", "\255deep")
            put(dir .. "/file", "x")
            T.eq(U.mkdir(dir .. "/file/sub"), false)
            T.eq(U.CopyDirectoryFile(dir .. "/src", dir .. "/dst"), true)
            T.eq(get(dir .. "/dst/f"), "top\0")
            T.eq(get(dir .. "/dst/sub/deeper/g"), "\255deep")
            put(dir .. "/src/f", "changed")
            T.eq(U.CopyDirectoryFile(dir .. "/src", dir .. "/dst"), true, "over an earlier copy")
            T.eq(get(dir .. "/dst/f"), "changed")
            T.eq(U.CopyDirectoryFile(dir .. "/src", dir .. "/src/sub/again"), false, "into itself")
            T.eq(U.IsDir(dir .. "/src/sub/again"), false)
            T.eq(U.CopyDirectoryFile(dir .. "/missing", dir .. "/dst2"), false)

            T.eq(U.CopyFileUtil(dir .. "/src/f", dir .. "/copied"), true)
            T.eq(get(dir .. "/copied"), "changed")
            put(dir .. "/src/f", "again")
            T.eq(U.CopyFileUtil(dir .. "/src/f", dir .. "/copied"), true, "over an existing file")
            T.eq(get(dir .. "/copied"), "again")
            T.eq(U.CopyFileUtil(dir .. "/copied", dir .. "/copied"), true, "onto itself")
            T.eq(get(dir .. "/copied"), "again")
            T.eq(U.CopyFileUtil(dir .. "/missing", dir .. "/c2"), false)
            T.eq(U.CopyFileUtil(dir .. "/src", dir .. "/c3"), false, "a directory")
        end,

        ["owner and times"] = function()
            local dir = fresh("times")
            local p = dir .. "/f"
            if win then
                -- No tool here sets a time stamp: the file is made now.
                local before = os.time()
                put(p, "x")
                local after = os.time()
                T.eq(U.GetFileOwner(p), os.getenv("USERNAME"))
                for _, f in ipairs({U.GetFileLastModified, U.GetFileCreateTime}) do
                    local t = f(p)
                    T.ok(t ~= nil and t >= stamp(before - 2) and t <= stamp(after + 2), tostring(t))
                end
                return
            end
            put(p, "x")
            T.eq(U.GetFileOwner(p), sh("id -un"))
            assert(os.execute("touch -m -d '2001-02-03 04:05:06' " .. q(p)) == 0)
            local mtime = tonumber(sh("stat -c %Y " .. q(p)))
            T.eq(U.GetFileLastModified(p), stamp(mtime))
            local birth = tonumber(sh("stat -c %W " .. q(p)))
            if birth == 0 then
                T.eq(T.nresults(U.GetFileCreateTime(p)), 0, "no birth time on this file system")
            else
                T.eq(U.GetFileCreateTime(p), stamp(birth))
            end
        end,

        ["path parts"] = function()
            if win then
                -- Both separators separate; results use the backslash; "/x" is
                -- on the current drive.
                local drive = cwd:sub(1, 2)
                T.eq(U.absoluteFilePath("a/../b/./c//d/"), cwd .. "\\b\\c\\d")
                T.eq(U.absoluteFilePath("/x/y/../z"), drive .. "\\x\\z")
                T.eq(U.absoluteFilePath("C:/"), "C:\\")
                T.eq(U.GetFileNameFromPath("C:\\x\\y.txt"), "y.txt")
                T.eq(U.GetFileNameFromPath("/x/y.txt"), "y.txt")
                T.eq(U.GetFileNameFromPath("C:y.txt"), "y.txt")
                T.eq(U.GetFileNameFromPath("plain"), "plain")
                T.eq(U.GetFileNameFromPath("/x/dir\\"), "")
                return
            end
            T.eq(U.absoluteFilePath("a/../b/./c//d/"), cwd .. "/b/c/d")
            T.eq(U.absoluteFilePath("/x/y/../z"), "/x/z")
            T.eq(U.absoluteFilePath("/"), "/")
            T.eq(U.GetFileNameFromPath("/x/y.txt"), "y.txt")
            T.eq(U.GetFileNameFromPath("plain"), "plain")
            T.eq(U.GetFileNameFromPath("/x/dir/"), "")
        end,

        ["free disk space ignores its arguments"] = function()
            local free = U.GetRootDiskFreeSpace("ignored", 1, {})
            T.eq(type(free), "string")
            T.ok(free:match("^%d+$") ~= nil, free)
        end,
    })
end

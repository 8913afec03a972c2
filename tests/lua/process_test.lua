-- orvexUtil's command functions, orvexProcess and orvexProc, with real child
-- processes: copies of and links to `sleep` under names chosen here, checked
-- against /proc and the shell. On Windows the child is the test build's
-- orvex_test_child program (beside the test plug-ins) under names chosen
-- here, and cmd.exe.
function orvexScriptMain(luaDir, tmpDir, fixtureDir, pluginDir)
    local T = dofile(luaDir .. "/helpers.lua")
    local U, P = orvexUtil, orvexProcess

    local q, get = T.shellQuote, T.read
    local function sh(cmd)
        local p = assert(io.popen(cmd))
        local s = p:read("*a")
        p:close()
        return (s:gsub("\n$", ""))
    end
    local function put(path, bytes, mode)
        T.write(path, bytes)
        if mode then assert(os.execute("chmod " .. mode .. " " .. q(path)) == 0) end
    end
    -- Waits (up to about 10 s) until cond() holds.
    local function waitFor(cond, what)
        for _ = 1, 200 do
            if cond() then return end
            os.execute("sleep 0.05")
        end
        error("timed out waiting for " .. what, 2)
    end
    local function alive(pid)
        local stat = get("/proc/" .. pid .. "/stat")
        return stat ~= nil and stat:match("%) (%a)") ~= "Z"
    end

    -- Names unique to this run (other test runs may share the machine).
    local tag = tmpDir:match("([%w]+)$"):sub(-6)
    local win = T.isWindows
    local sleepPath = not win and sh("command -v sleep")
    local names = {}
    local function sleeper(name, copy)
        names[#names + 1] = name
        local path = tmpDir .. "/" .. name
        local verb = copy and "cp " or "ln -s "
        assert(os.execute(verb .. q(sleepPath) .. " " .. q(path)) == 0)
        return path
    end

    local cases = {
        ["argument checks"] = function()
            T.raises("argv error", U.ExecCommand, "echo")
            T.raises("argv error", U.ExecCommand, "", 100)
            T.raises("argv error", U.ExecCommandReadAll, "echo")
            T.raises("argv error", U.Exec)
            T.raises("argv error", U.Exec, "echo a", "b")
            T.raises("argv error", U.Exec, "")
            T.raises("argv error", U.StartProcess)
            T.raises("argv error", U.StartProcess, "")
            T.raises("argv error", P.StartProcess, {})
            for _, f in ipairs({P.KillProcByName, P.GetProcessIdByName, P.CheckProcessAlive}) do
                T.raises("argv error", f)
                T.raises("argv error", f, "")
                T.raises("argv error", f, true)
                T.raises("argv error", f, "a", "b")
            end
            for _, f in ipairs({P.KillProcById, P.GetProcCommandLine, P.GetProcPath, P.GetPPid}) do
                T.raises("argv error", f)
                T.raises("argv error", f, 1, 2)
            end
            T.raises("argv error", orvexProc.RefreshProcList)
            T.raises("argv error", orvexProc.RefreshProcList, "")
            T.raises("argv error", orvexProc.RefreshProcList, "a", "b")
            T.raises("argv error", orvexProc.RefreshProcList, true)
            T.eq(orvexProc.RefreshProcList("x"), false)
            T.eq(orvexProc.RefreshProcList(12), false)
        end,

        ["ExecCommand passes its arguments as they are"] = function()
            local script = tmpDir .. "/args.sh"
            put(script, '#!/bin/sh\nprintf "%s" "$#"\nfor a in "$@"; do printf "[%s]" "$a"; done\n', "755")
            T.eq(U.ExecCommand(script, 2000, "a", "b"), "2[a][b]")
            T.eq(U.ExecCommandReadAll(script, 2000, "x", "a", "b"), "2[a][b]", "third argument skipped")
            T.eq(U.ExecCommandReadAll(script, 2000), "0")
            T.eq(U.ExecCommand(script, 2000), "0")
            T.eq(U.ExecCommand(script, 2000, "", "$(id)", "a b;|", 7), "4[][$(id)][a b;|][7]")
            -- No time limit when the time-out is not a number.
            T.eq(U.ExecCommand("echo", "soon", "hi"), "hi\n")
            T.eq(U.ExecCommand(script, 2000, "a\0b"), "", "a zero byte would cut the argument short")
            T.eq(U.ExecCommand(script .. "\0x", 2000), "")
            T.eq(U.ExecCommand("/no/such/program", 2000), "")
            T.eq(U.ExecCommand("no-such-program-" .. tag, 2000), "")
        end,

        ["command output comes back byte for byte, Exec's converted"] = function()
            T.eq(U.ExecCommand("printf", 2000, "a\\0b\\377\\300"), "a\0b\255\192")
            T.eq(U.ExecCommandReadAll("printf", 2000, "-", "a\\0b"), "a\0b")
            T.eq(U.Exec("printf 'caf\\303\\251'; echo err >&2"), "caf\195\169", "standard error is dropped")
            T.eq(U.Exec("printf 'x'; exit 3"), "x")
            local empty = { U.Exec("true") }
            T.eq(#empty, 1)
            T.eq(empty[1], "")
            local big = U.Exec("head -c 300000 /dev/zero")
            T.eq(#big, 300000, "more than a pipe holds")
        end,

        ["a command that outlives its time-out is killed with its descendants"] = function()
            local name = "oxk" .. tag
            local path = sleeper(name, true)
            local escaped = sleeper("oxe" .. tag, true)
            local started = os.time()
            -- The shell starts one sleeper in its group and one in a session of
            -- its own, prints their ids and waits.
            local out = U.ExecCommand("sh", 300, "-c",
                '"$1" 30 & echo $!; setsid "$2" 30 & echo $!; wait', "sh", path, escaped)
            T.ok(os.time() - started < 10, "returned at the time-out")
            local a, b = out:match("^(%d+)\n(%d+)\n$")
            T.ok(a and b, "output read before the time-out: " .. out)
            waitFor(function() return not alive(a) and not alive(b) end, "descendants to end")
            T.eq(P.CheckProcessAlive(name), false)
        end,

        ["started processes are found, inspected and killed"] = function()
            local name = "oxs" .. tag
            local path = sleeper(name)
            T.eq(U.StartProcess(path, "", "30"), true)
            waitFor(function() return P.CheckProcessAlive(name) end, "the process to start")
            local ids = P.GetProcessIdByName(name)
            T.eq(#ids, 1)
            T.eq(T.count(ids), 1)
            local id = ids[1]
            T.eq(P.GetAllProcessList("ignored")[id], name)
            T.eq(P.GetProcCommandLine(id), path .. " 30")
            T.eq(P.GetProcPath(id), sh("readlink -f " .. q(sleepPath)))
            T.eq(P.GetPPid(id), tonumber(get("/proc/" .. id .. "/stat"):match("%) %a (%d+)")))
            T.eq(P.KillProcById(id), true)
            waitFor(function() return not P.CheckProcessAlive(name) end, "the process to end")
            T.eq(T.nresults(P.GetProcessIdByName(name)), 0)
            T.eq(P.GetAllProcessList()[id], nil)
            local cmd = { P.GetProcCommandLine(id) }
            T.eq(#cmd, 1)
            T.eq(cmd[1], "", "a process that has gone")
            T.eq(P.GetProcPath(id), "")
            T.eq(P.GetPPid(id), -1)
            T.eq(P.KillProcByName(name), false, "nothing left to kill")
        end,

        ["kill by name ends every process of that name"] = function()
            -- A long name: the kernel keeps 15 bytes of it.
            local name = "oxlongname_" .. tag .. "_sleeper"
            local path = sleeper(name, true)
            T.eq(P.StartProcess(path, "", "30"), true)
            T.eq(P.StartProcess(path, "", "30"), true)
            waitFor(function()
                local ids = P.GetProcessIdByName(name)
                return ids ~= nil and #ids == 2
            end, "two processes")
            T.eq(P.GetProcPath(P.GetProcessIdByName(name)[1]), path)
            T.eq(P.CheckProcessAlive(name:sub(1, 15)), false, "a cut name is not the name")
            T.eq(P.KillProcByName(name), true)
            waitFor(function() return not P.CheckProcessAlive(name) end, "both to end")

            -- Long names that the program's file does not give: a link named
            -- like its target up to the cut, and a script run by a shell.
            local real = sleeper("oxlongname_" .. tag .. "_real", true)
            local link = tmpDir .. "/oxlongname_" .. tag .. "_link"
            assert(os.execute("ln -s " .. q(real) .. " " .. q(link)) == 0)
            local script = tmpDir .. "/oxlongname_" .. tag .. "_tool"
            put(script, "#!/bin/sh\nwhile :; do sleep 0.2; done\n", "755")
            for _, started in ipairs({link, script}) do
                local startedName = started:match("[^/]+$")
                names[#names + 1] = startedName
                T.eq(P.StartProcess(started, "", "30"), true)
                waitFor(function() return P.CheckProcessAlive(startedName) end, startedName)
                T.eq(P.GetAllProcessList()[P.GetProcessIdByName(startedName)[1]], startedName)
                T.eq(P.KillProcByName(startedName), true)
                waitFor(function() return not P.CheckProcessAlive(startedName) end, startedName .. " to end")
            end

            local numeric = sleeper("1" .. tag:gsub("%D", "") .. "9")
            local num = tonumber(numeric:match("[^/]+$"))
            T.eq(U.StartProcess(numeric, "", "30"), true)
            waitFor(function() return P.CheckProcessAlive(num) end, "the numeric name")
            T.eq(P.KillProcByName(num), true, "a number is a name")
            waitFor(function() return not P.CheckProcessAlive(num) end, "it to end")
        end,

        ["StartProcess runs no shell, in the working directory given"] = function()
            local wd = tmpDir .. "/wd"
            assert(os.execute("mkdir " .. q(wd)) == 0)
            T.eq(U.StartProcess("touch", wd, "a b", "$(touch pwned)", ";x"), true)
            waitFor(function() return get(wd .. "/;x") ~= nil end, "the files")
            T.ok(get(wd .. "/a b") ~= nil, "a b")
            T.ok(get(wd .. "/$(touch pwned)") ~= nil, "literal argument")
            T.eq(get(wd .. "/pwned"), nil)
            T.eq(get(tmpDir .. "/pwned"), nil)

            local script = tmpDir .. "/record.sh"
            put(script, '#!/bin/sh\n{ printf "%s" "$#"; for a in "$@"; do printf "[%s]" "$a"; done; } > '
                .. q(tmpDir .. "/record.tmp") .. "; mv " .. q(tmpDir .. "/record.tmp") .. " "
                .. q(tmpDir .. "/record") .. "\n", "755")
            T.eq(P.StartProcess(script, "", "", "d"), true)
            waitFor(function() return get(tmpDir .. "/record") ~= nil end, "the record")
            T.eq(get(tmpDir .. "/record"), "2[][d]")

            T.eq(U.StartProcess(tmpDir .. "/missing"), false)
            T.eq(U.StartProcess("no-such-program-" .. tag), false)
            T.eq(U.StartProcess("touch", tmpDir .. "/no/such/dir", "x"), false)
            T.eq(U.StartProcess(tmpDir), false, "a directory")
        end,

        ["ids that name no process"] = function()
            T.eq(P.KillProcById("abc"), false, "id 0")
            T.eq(P.KillProcById(-1), false)
            T.eq(P.GetPPid({}), -1, "id 0")
            T.eq(P.GetProcCommandLine(true), "")
            T.eq(P.GetProcPath("x"), "")
            T.eq(T.nresults(P.GetProcessIdByName("no-such-process-" .. tag)), 0)
            T.eq(P.CheckProcessAlive("no-such-process-" .. tag), false)
            T.eq(P.KillProcByName("no-such-process-" .. tag), false)
        end,

        ["the process list matches /proc"] = function()
            local list = P.GetAllProcessList()
            T.eq(list[1] ~= nil, get("/proc/1/stat") ~= nil)
            local count = 0
            for id, name in pairs(list) do
                count = count + 1
                T.eq(type(id), "number")
                T.eq(type(name), "string")
            end
            T.ok(count > 1, "more than one process")
            local self = tonumber(sh("echo $PPID"))
            T.ok(list[self] ~= nil or not alive(self), "the test process is listed")
        end,
    }
    if win then
        for name, case in pairs(dofile(luaDir .. "/process_windows.lua")(T, tmpDir, pluginDir, tag, names)) do
            cases[name] = case
        end
    end
    local result = T.run(cases)
    -- Nothing outlives a failed case.
    for _, name in ipairs(names) do P.KillProcByName(name) end
    return result
end

-- The Windows versions of process_test.lua's cases that need a shell, sleep,
-- printf or /proc: the child is the test build's orvex_test_child.exe (see
-- tests/support/ChildProgram.cpp), copied under names chosen here; cmd.exe
-- runs Exec's command lines. Returns a function giving the cases.
return function(T, tmpDir, pluginDir, tag, names)
    local U, P = orvexUtil, orvexProcess
    local child = pluginDir .. "/orvex_test_child.exe"

    local get, put = T.read, T.write
    local function backslashed(path) return (path:gsub("/", "\\")) end
    -- A copy of the child under `name` (with no extension added).
    local function copyOfChild(name)
        names[#names + 1] = name
        local path = tmpDir .. "/" .. name
        put(path, assert(get(child)))
        return path
    end
    local function waitFor(cond, what)
        for _ = 1, 200 do
            if cond() then return end
            U.msleep(50)
        end
        error("timed out waiting for " .. what, 2)
    end
    local function listed(id) return P.GetAllProcessList()[tonumber(id)] ~= nil end

    return {
        ["ExecCommand passes its arguments as they are"] = function()
            T.eq(U.ExecCommand(child, 2000, "args", "a", "b"), "2[a][b]")
            T.eq(U.ExecCommandReadAll(child, 2000, "x", "args", "a", "b"), "2[a][b]", "third argument skipped")
            T.eq(U.ExecCommand(child, 2000, "args"), "0")
            -- Quotes, backslashes and cmd.exe's characters reach the program as given.
            T.eq(U.ExecCommand(child, 2000, "args", "", "%PATH%", "a b;|&x", 'q"uo\\te\\', "t\\\\", 7),
                '6[][%PATH%][a b;|&x][q"uo\\te\\][t\\\\][7]')
            -- No time limit when the time-out is not a number.
            T.eq(U.ExecCommand(child, "soon", "print", "hi"), "hi")
            T.eq(U.ExecCommand(child, 2000, "args", "a\0b"), "", "a zero byte would cut the argument short")
            T.eq(U.ExecCommand("C:/no/such/program.exe", 2000), "")
            T.eq(U.ExecCommand("no-such-program-" .. tag, 2000), "")
            -- A bare name is looked up in PATH, ".exe" added.
            T.ok(U.ExecCommand("cmd", 5000, "/c", "echo", "found"):match("^found") ~= nil, "cmd from PATH")
        end,

        ["batch files get no injected commands"] = function()
            local bat = tmpDir .. "/echo.bat"
            put(bat, "@echo [%1]\r\n")
            T.eq(U.ExecCommand(bat, 5000, "plain"), "[plain]\r\n")
            T.eq(U.ExecCommand(bat, 5000, "a&echo pwned"), "", "refused: cmd.exe would run a second command")
            T.eq(U.ExecCommand(bat, 5000, "%PATH%"), "", "refused: cmd.exe would expand it")
            T.eq(U.StartProcess(bat, "", "x|y"), false)
        end,

        ["command output comes back byte for byte, Exec's converted"] = function()
            T.eq(U.ExecCommand(child, 2000, "print", "a\\0b\\377\\300"), "a\0b\255\192")
            T.eq(U.ExecCommandReadAll(child, 2000, "-", "print", "a\\0b"), "a\0b")
            local quoted = '"' .. backslashed(child) .. '"'
            -- The script tests run with UTF-8 as the local code page, so Exec's
            -- conversion leaves the child's bytes as they are.
            T.eq(U.Exec(quoted .. " print caf\\351 err dropped"), "caf\233", "standard error is dropped")
            T.eq(U.Exec(quoted .. " print x exit 3"), "x")
            T.eq(U.Exec("echo a& echo b"), "a\r\nb\r\n", "cmd.exe runs the line")
            local empty = { U.Exec("rem") }
            T.eq(#empty, 1)
            T.eq(empty[1], "")
            local big = U.Exec(quoted .. " zeros 300000")
            T.eq(#big, 300000, "more than a pipe holds")
        end,

        ["a command that outlives its time-out is killed with its descendants"] = function()
            local name = "oxk" .. tag .. ".exe"
            local path = copyOfChild(name)
            local started = os.time()
            -- The command starts two copies of itself, prints their ids and waits.
            local out = U.ExecCommand(path, 3000, "spawn", "2", "30", "sleep", "30")
            T.ok(os.time() - started < 10, "returned at the time-out")
            local a, b = out:match("^(%d+)\n(%d+)\n$")
            T.ok(a and b, "output read before the time-out: " .. out)
            waitFor(function() return not listed(a) and not listed(b) end, "descendants to end")
            T.eq(P.CheckProcessAlive(name), false)
        end,

        ["started processes are found, inspected and killed"] = function()
            local name = "oxs" .. tag .. ".exe"
            local path = copyOfChild(name)
            T.eq(U.StartProcess(path, "", "sleep", "30"), true)
            waitFor(function() return P.CheckProcessAlive(name) end, "the process to start")
            local ids = P.GetProcessIdByName(name)
            T.eq(#ids, 1)
            T.eq(T.count(ids), 1)
            local id = ids[1]
            T.eq(P.GetAllProcessList("ignored")[id], name)
            T.eq(P.GetProcCommandLine(id), '"' .. path .. '" sleep 30')
            T.eq(P.GetProcPath(id):lower(), backslashed(path):lower())
            -- Windows keeps the parent's id: the program running this script
            -- (the test program, or the orvex command).
            local parentFound = false
            for _, host in ipairs({"orvex_tests.exe", "orvex.exe"}) do
                for _, p in ipairs(P.GetProcessIdByName(host) or {}) do
                    parentFound = parentFound or p == P.GetPPid(id)
                end
            end
            T.ok(parentFound, "the parent is the program running the script")
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
            local name = "oxlongname_" .. tag .. "_sleeper.exe"
            local path = copyOfChild(name)
            T.eq(P.StartProcess(path, "", "sleep", "30"), true)
            T.eq(P.StartProcess(path, "", "sleep", "30"), true)
            waitFor(function()
                local ids = P.GetProcessIdByName(name)
                return ids ~= nil and #ids == 2
            end, "two processes")
            -- Windows compares names as it compares file names: case aside.
            T.eq(P.CheckProcessAlive(name:upper()), true)
            T.eq(P.CheckProcessAlive(name:sub(1, -5)), false, "the extension is part of the name")
            T.eq(P.KillProcByName(name:upper()), true)
            waitFor(function() return not P.CheckProcessAlive(name) end, "both to end")

            -- A program file without an extension runs under its bare name.
            local num = tonumber("1" .. tag:gsub("%D", "") .. "9")
            local numeric = copyOfChild(tostring(num))
            T.eq(U.StartProcess(numeric, "", "sleep", "30"), true)
            waitFor(function() return P.CheckProcessAlive(num) end, "the numeric name")
            T.eq(P.KillProcByName(num), true, "a number is a name")
            waitFor(function() return not P.CheckProcessAlive(num) end, "it to end")
        end,

        ["StartProcess runs no shell, in the working directory given"] = function()
            local wd = tmpDir .. "/wd"
            T.eq(U.mkdir(wd), true)
            T.eq(U.StartProcess(child, wd, "touch", "a b", "%CD%", "x&touch pwned", ";x"), true)
            waitFor(function() return get(wd .. "/;x") ~= nil end, "the files")
            T.ok(get(wd .. "/a b") ~= nil, "a b")
            T.ok(get(wd .. "/%CD%") ~= nil, "literal argument")
            T.ok(get(wd .. "/x&touch pwned") ~= nil, "literal argument with &")
            T.eq(get(wd .. "/pwned"), nil)
            T.eq(get(tmpDir .. "/pwned"), nil)

            T.eq(P.StartProcess(child, "", "record", tmpDir .. "/record", "", "d"), true)
            waitFor(function() return get(tmpDir .. "/record") ~= nil end, "the record")
            T.eq(get(tmpDir .. "/record"), "2[][d]")

            T.eq(U.StartProcess(tmpDir .. "/missing"), false)
            T.eq(U.StartProcess("no-such-program-" .. tag), false)
            T.eq(U.StartProcess(child, tmpDir .. "/no/such/dir", "sleep", "0"), false)
            T.eq(U.StartProcess(tmpDir), false, "a directory")
        end,

        ["the process list matches /proc"] = function()
            local list = P.GetAllProcessList()
            local count = 0
            for id, name in pairs(list) do
                count = count + 1
                T.eq(type(id), "number")
                T.eq(type(name), "string")
            end
            T.ok(count > 1, "more than one process")
            local selves = P.GetProcessIdByName("orvex_tests.exe")
            T.ok(selves ~= nil, "the test program is listed")
            for _, id in ipairs(selves) do T.eq(list[id]:lower(), "orvex_tests.exe") end
        end,
    }
end

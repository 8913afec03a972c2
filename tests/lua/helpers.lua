-- Assertion helpers for the script tests. Usage:
--   local T = dofile(luaDir .. "/helpers.lua")
--   return T.run({ ["case name"] = function() T.eq(1 + 1, 2) end, ... })
local T = {}

local function show(v)
    if type(v) == "string" then return string.format("%q", v) end
    return tostring(v)
end

function T.eq(actual, expected, what)
    if actual ~= expected then
        error((what or "value") .. ": expected " .. show(expected) .. ", got " .. show(actual), 2)
    end
end

function T.ok(cond, what)
    if not cond then error((what or "condition") .. " failed", 2) end
end

-- Number of entries of a table (all keys).
function T.count(t)
    local n = 0
    for _ in pairs(t) do n = n + 1 end
    return n
end

-- Compares two tables key by key (one level; nested tables by T.same).
function T.same(actual, expected, what)
    what = what or "table"
    if type(actual) ~= "table" then error(what .. ": expected a table, got " .. show(actual), 2) end
    for k, v in pairs(expected) do
        if type(v) == "table" then
            T.same(actual[k], v, what .. "[" .. show(k) .. "]")
        elseif actual[k] ~= v then
            error(what .. "[" .. show(k) .. "]: expected " .. show(v) .. ", got " .. show(actual[k]), 2)
        end
    end
    for k in pairs(actual) do
        if expected[k] == nil then error(what .. ": unexpected key " .. show(k), 2) end
    end
end

-- Calls fn(...) and checks that it raises an error whose message ends with `suffix`.
function T.raises(suffix, fn, ...)
    local ok, err = pcall(fn, ...)
    if ok then error("expected an error ending with " .. show(suffix), 2) end
    err = tostring(err)
    if err:sub(-#suffix) ~= suffix then
        error("expected an error ending with " .. show(suffix) .. ", got " .. show(err), 2)
    end
end

-- Writes `bytes` to the file `path` (created or replaced).
function T.write(path, bytes)
    local f = assert(io.open(path, "wb"))
    f:write(bytes)
    f:close()
end

-- The bytes of the file `path`, or nil when it cannot be opened.
function T.read(path)
    local f = io.open(path, "rb")
    if not f then return nil end
    local bytes = f:read("*a")
    f:close()
    return bytes
end

-- `s` quoted for /bin/sh.
function T.shellQuote(s) return "'" .. s:gsub("'", "'\\''") .. "'" end

-- Number of values a call returns.
function T.nresults(...) return select("#", ...) end

-- True when the scripts run on Windows (the DLL under Wine in the tests).
T.isWindows = package.config:sub(1, 1) == "\\"

-- Whether the system resolver finds an address for `name`, asked without the
-- engine (getent); nil where that cannot be found out (Windows).
function T.resolverKnows(name)
    if T.isWindows then return nil end
    local p = io.popen("getent ahosts " .. T.shellQuote(name) .. " 2>/dev/null")
    if not p then return nil end
    local out = p:read("*a")
    p:close()
    return out:find("%S") ~= nil
end

-- Ends the current case as skipped, with the reason shown in the test log.
-- Only for what cannot exist on the platform at hand.
function T.skip(reason) error({skipped = reason}, 0) end

-- Runs the cases in name order; returns "ok" (followed by one
-- "skipped: case (reason)" line per skipped case) or the failures, one per line.
function T.run(cases)
    local names = {}
    for name in pairs(cases) do names[#names + 1] = name end
    table.sort(names)
    local failures, skipped = {}, {}
    for _, name in ipairs(names) do
        local ok, err = pcall(cases[name])
        if not ok then
            if type(err) == "table" and err.skipped then
                skipped[#skipped + 1] = "skipped: " .. name .. " (" .. tostring(err.skipped) .. ")"
            else
                failures[#failures + 1] = name .. ": " .. tostring(err)
            end
        end
    end
    if #failures == 0 then
        table.insert(skipped, 1, "ok")
        return table.concat(skipped, "\n")
    end
    return table.concat(failures, "\n")
end

return T

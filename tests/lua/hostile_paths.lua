-- The call server of HostilePathsTest (not a *_test.lua: the test drives it).
-- Reads one request per line from standard input, "<path> <expression>",
-- both as hexadecimal text (a path may hold a line break), evaluates the
-- expression with the global P set to the path and answers with one line:
-- its results joined by ",", each shown by `show` ("nil" for none, "error
-- <message>" when it raised). The other paths the expressions use arrive
-- as the script's arguments.
local function unhex(h)
    return (h:gsub("%x%x", function(x) return string.char(tonumber(x, 16)) end))
end

-- One line, whatever the value holds: bytes outside printable ASCII, '"'
-- and '\' as \ddd.
local function show(v)
    if type(v) == "string" then
        return '"' .. v:gsub('[%z\1-\31"\\\127-\255]', function(c) return string.format("\\%03d", c:byte()) end) .. '"'
    elseif type(v) == "table" then
        local items = {}
        for i, x in ipairs(v) do items[i] = show(x) end
        return "{" .. table.concat(items, ",") .. "}"
    end
    return tostring(v)
end

local function answer(ok, ...)
    if not ok then return "error " .. show(tostring((...))) end
    local n = select("#", ...)
    if n == 0 then return "nil" end
    local shown = {}
    for i = 1, n do shown[i] = show((select(i, ...))) end
    return table.concat(shown, ",")
end

function orvexScriptMain(file, dir, zip, scratch, url)
    F, D, Z, S, U = file, dir, zip, scratch, url
    for line in io.stdin:lines() do
        local path, expression = line:match("^(%x*) (%x+)$")
        local reply
        if not path then
            reply = "error " .. show("bad request")
        else
            P = unhex(path)
            local chunk, err = loadstring("return " .. unhex(expression))
            reply = chunk and answer(pcall(chunk)) or "error " .. show(err)
        end
        io.stdout:write(reply, "\n")
        io.stdout:flush()
    end
    return "done"
end

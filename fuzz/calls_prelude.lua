-- Installed by fuzz_calls into its engine Lua state before any call: every
-- script function that changes the system is replaced by a wrapper that
-- calls the real one only with a harmless target.
--
--  * Paths stay in the scratch directory (the state's current directory):
--    confine() makes them relative and turns ".." into "dd".
--  * Commands and processes run the fuzzer's child program, told to print
--    its arguments ("args"), or, with a short time-out, to sleep with a
--    child of its own until the time-out ends both; Exec runs it through
--    the shell with its text quoted. KillProcByName and KillProcById name
--    only the fuzzer's own sleeping child. Terminate is never called;
--    msleep sleeps at most 3 ms.
--  * HTTP goes only to 127.0.0.1 (the fuzzer's loopback server, or port 1,
--    where nothing listens); name lookups get only names that need no
--    resolver.
--  * SQL cannot attach or vacuum into another file; script threads run only
--    the fuzzer's harmless script; plug-ins load only from the scratch
--    directory. The service functions answer "no service manager" here.
local cfg = ...
local confine, childPid = cfg.confine, cfg.childPid
local child, childName, port, threadScript = cfg.child, cfg.childName, cfg.port, cfg.threadScript
-- Calls that take long (a scan of every process, a process start, an HTTP
-- transfer, a tree copy that can double the tree) run a few times per
-- sequence; beyond that a wrapper returns nothing without calling.
local budget = cfg.budget
local limits = {scan = 1, process = 2, http = 2, copy = 4}
function budget.reset()
  for kind in pairs(limits) do budget[kind] = 0 end
end
budget.reset()
local function limited(kind, fn)
  return function(...)
    budget[kind] = budget[kind] + 1
    if budget[kind] > limits[kind] then return end
    return fn(...)
  end
end
local select, type, tonumber, tostring, unpack = select, type, tonumber, tostring, unpack

local function pack(...) return {n = select("#", ...), ...} end
local function textual(v) return (type(v) == "string" and v ~= "") or type(v) == "number" end

-- `replacement`, keeping a zero byte of the script's text and what follows
-- it (the library must refuse such a text, not read up to the zero).
local function replaced(v, replacement)
  local s = tostring(v)
  local zero = s:find("\0", 1, true)
  return zero and replacement .. s:sub(zero) or replacement
end

local function quote(s) return "'" .. s:gsub("'", "'\\''") .. "'" end

local function clampAbove(v, limit)
  local n = tonumber(v)
  if n and n > limit then return limit end
  return v
end

-- fn with its arguments at `positions` passed through `how`.
local function mapping(fn, how, positions)
  return function(...)
    local a = pack(...)
    for _, i in ipairs(positions) do
      if i <= a.n then a[i] = how(a[i], i) end
    end
    return fn(unpack(a, 1, a.n))
  end
end

local function paths(fn, ...) return mapping(fn, confine, {...}) end
local function strictPath(v) return confine(v, true) end

local function program(v) return textual(v) and replaced(v, child) or v end

-- ExecCommand (arguments from 3) and ExecCommandReadAll (from 4).
local function command(fn, firstArg)
  return function(...)
    local a = pack(...)
    if a.n < 2 then return fn(unpack({program(a[1])}, 1, a.n)) end
    -- The command, the time-out (and the unused third argument).
    local args, n = {program(a[1]), a[2], a[3]}, firstArg - 1
    local t = tonumber(a[2])
    if t and t >= 1 and t <= 50 then
      for _, v in ipairs({"spawn", "1", "2", "sleep", "2"}) do n = n + 1; args[n] = v end
    else
      n = n + 1; args[n] = "args"
      for i = firstArg, a.n do n = n + 1; args[n] = a[i] end
    end
    return fn(unpack(args, 1, n))
  end
end

local function startProcess(fn)
  return function(...)
    local a = pack(...)
    if a.n == 0 then return fn() end
    local args, n = {program(a[1])}, 1
    if a.n >= 2 then
      args[2], args[3], n = confine(a[2]), "args", 3
      for i = 3, a.n do n = n + 1; args[n] = a[i] end
    end
    return fn(unpack(args, 1, n))
  end
end

local function shellLine(v)
  return textual(v) and quote(child) .. " args " .. quote(tostring(v)) or v
end

local function url(v)
  if not textual(v) then return v end
  local s = tostring(v)
  local k = #s % 16
  if k < 10 then return "http://127.0.0.1:" .. port .. "/" .. s end
  if k < 13 then return "http://127.0.0.1:1/" .. s end
  -- Rarely TLS: each try loads the system's certificates.
  if k == 13 then return "https://127.0.0.1:" .. port .. "/" .. s end
  return "ftp://127.0.0.1:1/" .. s
end

local safeHosts = {"localhost", "127.0.0.1", "::1", "", "127.0.0.1\0x.example", "0", "2130706433", "[::1]"}
local function numericHost(s)
  local parts = {s:match("^(%d%d?%d?)%.(%d%d?%d?)%.(%d%d?%d?)%.(%d%d?%d?)$")}
  if #parts ~= 4 then return false end
  for _, p in ipairs(parts) do
    if tonumber(p) > 255 then return false end
  end
  return true
end
local function host(v)
  if type(v) == "number" then
    return (v == math.floor(v) and v >= 0 and v < 2 ^ 31) and v or 0
  end
  if type(v) ~= "string" then return v end
  local upToZero = v:match("^[^%z]*")
  if upToZero == "" or upToZero == "localhost" or upToZero == "::1" or numericHost(upToZero) then return v end
  return safeHosts[#v % #safeHosts + 1]
end

local function sql(v)
  if type(v) ~= "string" then return v end
  return (v:gsub("[Aa][Tt][Tt][Aa][Cc][Hh]", "attxch"):gsub("[Vv][Aa][Cc][Uu][Uu][Mm]", "vxcuum"))
end

local U, P = orvexUtil, orvexProcess
local wrap = {
  orvexUtil = {
    Terminate = function() end,
    StartProcess = startProcess(U.StartProcess),
    ExecCommand = command(U.ExecCommand, 3),
    ExecCommandReadAll = command(U.ExecCommandReadAll, 4),
    Exec = mapping(U.Exec, shellLine, {1, 2, 3, 4, 5}),
    HttpGetToFile = mapping(U.HttpGetToFile, function(v, i) return i == 1 and url(v) or confine(v) end, {1, 2}),
    HttpGetToBuffer = mapping(U.HttpGetToBuffer, url, {1}),
    HttpPostFromFile = mapping(U.HttpPostFromFile, function(v, i) return i == 1 and url(v) or confine(v) end,
                               {1, 2}),
    HttpPostFromBuffer = mapping(U.HttpPostFromBuffer, url, {1}),
    miniUnzip = paths(U.miniUnzip, 1, 2),
    DirzipFile = paths(U.DirzipFile, 1, 2),
    CopyDirectoryFile = limited("copy", paths(U.CopyDirectoryFile, 1, 2)),
    WriteOffsetFile = mapping(U.WriteOffsetFile, function(v, i)
      return i == 1 and confine(v) or clampAbove(v, 1048576)
    end, {1, 2}),
    msleep = mapping(U.msleep, function(v) return clampAbove(v, 3) end, {1, 2, 3, 4, 5}),
  },
  orvexProcess = {
    KillProcByName = mapping(P.KillProcByName, function(v) return textual(v) and replaced(v, childName) or v end,
                             {1, 2, 3, 4, 5}),
    KillProcById = (function(killById)
      return function(...)
        local a = pack(...)
        for i = 1, a.n do a[i] = childPid() end
        return killById(unpack(a, 1, a.n))
      end
    end)(P.KillProcById),
    StartProcess = startProcess(P.StartProcess),
  },
  orvexAlgorithm = {GetFileMd5 = paths(orvexAlgorithm.GetFileMd5, 1)},
  orvexNetWork = {GetAllIpByDomain = mapping(orvexNetWork.GetAllIpByDomain, host, {1, 2, 3, 4, 5})},
  orvexLibrary = {},
  orvexIni = {},
  orvexSqlite = {},
  orvexThread = {
    CreateThreadWithScript = mapping(orvexThread.CreateThreadWithScript, function(v)
      return textual(v) and replaced(v, threadScript) or v
    end, {2}),
  },
}
for _, name in ipairs({"IsFile", "IsDir", "mkdir", "RemoveFile", "RemoveDir", "RemoveFileInDir",
                       "GetAllFileFromDir", "GetOneFileFromDir", "GetFileOwner", "GetFileCreateTime",
                       "GetFileLastModified", "ReadFullFile", "GetFileSize", "WriteNewFile", "WriteAppenFile",
                       "ReadOffsetFile"}) do
  wrap.orvexUtil[name] = paths(U[name], 1)
end
wrap.orvexUtil.CopyFileUtil = paths(U.CopyFileUtil, 1, 2)
for _, name in ipairs({"LoadModule", "CallModuleFuncWithParam", "CloseModule", "IsLoadLibrary"}) do
  -- Always with a slash: a bare name would be looked up among the system's libraries.
  wrap.orvexLibrary[name] = mapping(orvexLibrary[name], strictPath, {1})
end
for _, name in ipairs({"GetIniValue", "SetIniValue", "RemoveKeyValue"}) do
  wrap.orvexIni[name] = paths(orvexIni[name], 1)
end
for _, name in ipairs({"execDml", "execQuery"}) do
  wrap.orvexSqlite[name] = mapping(orvexSqlite[name], function(v, i) return i == 1 and confine(v) or sql(v) end,
                                   {1, 2})
end

for lib, names in pairs({orvexUtil = {"StartProcess", "ExecCommand", "ExecCommandReadAll", "Exec"},
                         orvexProcess = {"StartProcess"}}) do
  for _, name in ipairs(names) do wrap[lib][name] = limited("process", wrap[lib][name]) end
end
for _, name in ipairs({"HttpGetToFile", "HttpGetToBuffer", "HttpPostFromFile", "HttpPostFromBuffer"}) do
  wrap.orvexUtil[name] = limited("http", wrap.orvexUtil[name])
end
for _, name in ipairs({"KillProcByName", "GetAllProcessList", "GetProcessIdByName", "CheckProcessAlive"}) do
  wrap.orvexProcess[name] = limited("scan", wrap.orvexProcess[name] or P[name])
end

for lib, fns in pairs(wrap) do
  for name, fn in pairs(fns) do
    assert(type(_G[lib][name]) == "function", lib .. "." .. name)
    _G[lib][name] = fn
  end
end

-- Calls every function of every orvex library with arguments of every kind
-- Lua has, in the first three places. Each call must come back: with its
-- results, or with a Lua error whose value is a string. Run from
-- ScriptSweepTest with the current directory in a scratch directory, since
-- numbers given as paths ("0", "-1") name files there.
--
-- Left out: what ends or stops the process or other processes, or sleeps
-- as long as it is told (Terminate, Kill*, msleep); on Windows the service
-- functions, which would really install services.

local skip = {
  ["orvexUtil.Terminate"] = true,
  ["orvexUtil.msleep"] = true,
  ["orvexProcess.KillProcById"] = true,
  ["orvexProcess.KillProcByName"] = true,
}

-- Functions that reach the network get a harmless loopback address first,
-- and in first place only values that are not text, so that no name lookup
-- of an odd text waits on a resolver.
local networkFirst = {
  HttpGetToBuffer = "http://127.0.0.1:1/", HttpGetToFile = "http://127.0.0.1:1/",
  HttpPostFromBuffer = "http://127.0.0.1:1/", HttpPostFromFile = "http://127.0.0.1:1/",
  GetAllIpByDomain = "127.0.0.1", SendTcpMessage = "127.0.0.1", IsLoginServer = "127.0.0.1",
}

local function textual(v)
  local t = type(v)
  return t == "string" or t == "number"
end

-- The orvex libraries, or those `only` names (separated by spaces).
local function librariesToCall(only)
  local libraries = {}
  for k, v in pairs(_G) do
    if type(v) == "table" and k:match("^orvex")
        and (only == "" or (" " .. only .. " "):find(" " .. k .. " ", 1, true)) then
      libraries[#libraries + 1] = k
    end
  end
  table.sort(libraries)
  return libraries
end

local function functionNames(lib)
  local names = {}
  for k, v in pairs(_G[lib]) do
    if type(v) == "function" then names[#names + 1] = k end
  end
  table.sort(names)
  return names
end

function orvexScriptMain(scratch, isWindows, only)
  local path = scratch .. "/x"
  -- Longer than every fixed buffer; on Windows within cmd.exe's 8,191
  -- characters, beyond which Wine's cmd.exe itself crashes (Exec runs it).
  local long = string.rep("a", isWindows == "1" and 8000 or 70000)
  local values = {
    nil, true, false, 0, -1, 2147483648, -2 ^ 53, 0 / 0, 1e308, 12.7,
    "", path, "a\0b", long, "%s%n%x",
    {}, {1, "two", {}}, function() end, coroutine.create(function() end), newproxy(),
  }
  local count = 20  -- entries above, the leading nil included

  -- sweepCall(name, fn, ...), when a script that runs this one defines it,
  -- makes each call instead of pcall (the allocation-failure runs do).
  local call = sweepCall and function(name, fn, ...) return sweepCall(name, fn, ...) end
      or function(_, fn, ...) return pcall(fn, ...) end
  local calls, failures = 0, {}
  local function try(name, fn, ...)
    calls = calls + 1
    local ok, err = call(name, fn, ...)
    if not ok and type(err) ~= "string" then
      failures[#failures + 1] = name .. " raised a " .. type(err)
    end
  end

  local libraries = librariesToCall(only)
  for _, lib in ipairs(libraries) do
    if not (isWindows == "1" and lib == "orvexWindows") then
      for _, fname in ipairs(functionNames(lib)) do
        local full = lib .. "." .. fname
        if not skip[full] then
          local fn = _G[lib][fname]
          local first = networkFirst[fname] or path
          try(full, fn)
          for i = 1, count do
            local v = values[i]
            if not (networkFirst[fname] and textual(v)) then try(full, fn, v) end
            try(full, fn, first, v)
            try(full, fn, first, path, v)
            try(full, fn, first, v, v)
          end
        end
      end
    end
  end

  collectgarbage()
  if #failures > 0 then return "failures: " .. table.concat(failures, "; ") end
  return "libraries " .. #libraries .. " calls " .. calls
end

-- C++-heap failure runs of every script function (NewFailureTest): each call
-- of sweep_cases.lua is made once to count the C++ allocations its function
-- makes, then again with the 1st, 2nd, ... of them failing (failnew.arm and
-- failnew.count, registered by the test). A failed allocation must come back
-- as the error "not enough memory", or as what the call gives anyway (its
-- results, or the error the plain call raises, "argv error" say).
--
-- orvexScriptMain(luaDir, scratch, isWindows, only, maxRuns, httpBase):
-- maxRuns limits the failing runs of one call, spread evenly over its
-- allocations ("0": every allocation); with httpBase (a loopback server's
-- base URL), the HTTP functions also run against a server that answers.
local function picks(count, maxRuns)
  local list = {}
  if maxRuns == 0 or count <= maxRuns then
    for n = 1, count do list[#list + 1] = n end
  else
    for i = 0, maxRuns - 1 do
      list[#list + 1] = 1 + math.floor(i * (count - 1) / (maxRuns - 1))
    end
  end
  return list
end

local function outOfMemory(err)
  return type(err) == "string" and err:sub(-17) == "not enough memory"
end

function orvexScriptMain(luaDir, scratch, isWindows, only, maxRuns, httpBase)
  maxRuns = tonumber(maxRuns) or 0
  local allocations, runs, problems, seen = 0, 0, {}, {}
  -- The first problem of each kind per function.
  local function problem(name, kind, text)
    if seen[name .. kind] or #problems >= 100 then return end
    seen[name .. kind] = true
    problems[#problems + 1] = name .. " " .. text
  end

  sweepCall = function(name, fn, ...)
    failnew.arm(0)
    local ok0, err0 = pcall(fn, ...)
    local count = failnew.count()
    allocations = allocations + count
    for _, n in ipairs(picks(count, maxRuns)) do
      local descriptors = failnew.descriptors()
      failnew.arm(n)
      local ok, err = pcall(fn, ...)
      failnew.count()
      runs = runs + 1
      if not ok and err ~= err0 and not outOfMemory(err) then
        problem(name, "error", "with allocation " .. n .. " failing: " .. tostring(err))
      end
      if failnew.descriptors(descriptors) > descriptors then
        problem(name, "descriptor", "with allocation " .. n .. " failing left a descriptor open")
      end
    end
    return ok0, err0
  end

  dofile(luaDir .. "/sweep_cases.lua")
  local summary = orvexScriptMain(scratch, isWindows, only)

  if httpBase and httpBase ~= "" then
    local U = orvexUtil
    local body = scratch .. "/body.txt"
    local f = assert(io.open(body, "wb"))
    f:write(string.rep("request body ", 100))
    f:close()
    sweepCall("HttpGetToBuffer", U.HttpGetToBuffer, httpBase .. "/files/body.txt")
    sweepCall("HttpGetToBuffer", U.HttpGetToBuffer, httpBase .. "/redirect/2")
    sweepCall("HttpGetToFile", U.HttpGetToFile, httpBase .. "/files/body.txt", scratch .. "/got.txt")
    sweepCall("HttpPostFromBuffer", U.HttpPostFromBuffer, httpBase .. "/echo", "posted")
    sweepCall("HttpPostFromFile", U.HttpPostFromFile, httpBase .. "/echo", body)
  end
  sweepCall = nil

  summary = summary .. " allocations " .. allocations .. " runs " .. runs
  if #problems > 0 then summary = summary .. "\n" .. table.concat(problems, "\n") end
  return summary
end

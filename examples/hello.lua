-- A first orvex script: greets its caller and reports what the engine offers.
function orvexScriptMain(name)
    name = name or "world"
    local libs = {}
    for _, lib in ipairs({"orvexUtil", "orvexJson", "orvexLoadLua", "orvexThread"}) do
        if type(_G[lib]) == "table" then libs[#libs + 1] = lib end
    end
    return "hello, " .. name .. " (libraries: " .. table.concat(libs, ", ") .. ")"
end

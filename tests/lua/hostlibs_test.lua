-- orvexConfig, orvexNetWork, orvexIpc and orvexKorin with no agent component
-- installed, and the host-information functions against the real resolver.
function orvexScriptMain(luaDir)
    local T = dofile(luaDir .. "/helpers.lua")
    return T.run({
        ["config getters give nothing without a configuration"] = function()
            for _, name in ipairs({"GetVMid", "GetMachineUuid", "GetIdentityIp", "GetPlatInfo",
                "GetCurrentVersion", "GetServiceIp", "GetUuid"}) do
                T.eq(T.nresults(orvexConfig[name]()), 0, name)
                T.eq(T.nresults(orvexConfig[name]("ignored", {})), 0, name .. " with arguments")
            end
        end,
        ["network channel without a network component"] = function()
            T.eq(T.nresults(orvexNetWork.IsLoginServer()), 0)
            T.eq(orvexNetWork.SendTcpMessage("a", "b"), false)
            T.raises("argv error", orvexNetWork.SendTcpMessage, "a", "b", "c")
            T.raises("argv error", orvexNetWork.SendTcpMessage, "a")
        end,
        ["WriteToClient without an IPC component is a bad call"] = function()
            T.raises("argv error", orvexIpc.WriteToClient, "client", "data")
            T.raises("argv error", orvexIpc.WriteToClient, "client")
        end,
        ["engine functions without an engine"] = function()
            T.eq(orvexKorin.StartKorin(), false)
            T.eq(orvexKorin.StopKorin("x"), false)
            T.eq(orvexKorin.UnInstallKorin(), true)
            T.eq(orvexKorin.RequestRule(1, 2), false)
        end,
        ["local host name"] = function()
            local f = assert(io.open("/proc/sys/kernel/hostname"))
            local expected = f:read("*l")
            f:close()
            T.eq(orvexNetWork.GetLocalHostName("ignored"), expected)
        end,
        ["localhost resolves, IPv4 first, each address once"] = function()
            local list = orvexNetWork.GetAllIpByDomain("localhost")
            if #list == 0 then
                -- The name goes to the system resolver (the hosts file, DNS):
                -- a machine without a hosts file may not know it at all.
                local known = T.resolverKnows("localhost")
                if known == false then
                    T.skip("the system resolver cannot resolve localhost here (getent ahosts localhost finds nothing: no /etc/hosts?)")
                elseif known == nil then
                    T.skip("the system resolver gives no address for localhost here")
                end
            end
            T.ok(#list >= 1 and #list <= 20, "address count")
            T.eq(T.count(list), #list, "list keys")
            T.eq(list[1], "127.0.0.1")
            local seen, sawV6 = {}, false
            for _, ip in ipairs(list) do
                T.ok(not seen[ip], "duplicate " .. ip)
                seen[ip] = true
                local v6 = ip:find(":") ~= nil
                T.ok(v6 or not sawV6, "IPv4 address after an IPv6 one")
                sawV6 = sawV6 or v6
            end
        end,
        ["addresses are passed up to the first zero byte"] = function()
            T.same(orvexNetWork.GetAllIpByDomain("127.0.0.1\0junk"), {"127.0.0.1"})
            T.same(orvexNetWork.GetAllIpByDomain("::1"), {"::1"})
        end,
        ["names that do not resolve give an empty table"] = function()
            T.same(orvexNetWork.GetAllIpByDomain("no-such-host.invalid"), {})
            T.same(orvexNetWork.GetAllIpByDomain(""), {})
        end,
        ["GetAllIpByDomain and GetUrlHost take exactly one string"] = function()
            for _, fn in ipairs({orvexNetWork.GetAllIpByDomain, orvexNetWork.GetUrlHost}) do
                T.raises("argv error", fn)
                T.raises("argv error", fn, {})
                T.raises("argv error", fn, true)
                T.raises("argv error", fn, "localhost", "x")
            end
        end,
        ["host part of a URL"] = function()
            T.eq(orvexNetWork.GetUrlHost("http://user:pw@Example.COM:8080/a/b?q=1#f"), "Example.COM")
            T.eq(orvexNetWork.GetUrlHost("https://[::1]:443/x"), "::1")
            T.eq(orvexNetWork.GetUrlHost("update.example.net/path"), "update.example.net")
            T.eq(orvexNetWork.GetUrlHost("ftp://files.example.org"), "files.example.org")
            T.eq(orvexNetWork.GetUrlHost("http://a.example\0.evil.example/"), "a.example")
            T.eq(orvexNetWork.GetUrlHost("http://"), "")
            T.eq(orvexNetWork.GetUrlHost(""), "")
            -- a number is read as its text; a numeric host is an IPv4 address
            T.eq(orvexNetWork.GetUrlHost(12), "0.0.0.12")
        end,
    })
end

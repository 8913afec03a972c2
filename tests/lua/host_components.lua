-- Host libraries with test components installed (run by HostComponentsTest,
-- under the GBK code page; the components' texts are GBK).
function orvexScriptMain(luaDir)
    local T = dofile(luaDir .. "/helpers.lua")
    return T.run({
        ["config getters convert the component's texts"] = function()
            T.eq(orvexConfig.GetVMid("ignored", 1, {}), "vm-1")
            T.eq(orvexConfig.GetMachineUuid(), "bios-uuid")
            T.eq(orvexConfig.GetIdentityIp(), "10.0.0.5")
            T.eq(orvexConfig.GetPlatInfo(), "中文平台")
            T.eq(orvexConfig.GetCurrentVersion(), "")
            T.eq(orvexConfig.GetServiceIp(), "10.0.0.1")
            T.eq(orvexConfig.GetUuid(), "abc")
        end,
        ["login state"] = function()
            T.eq(orvexNetWork.IsLoginServer("ignored"), true)
        end,
        ["SendTcpMessage passes the first text raw, the second converted"] = function()
            T.eq(orvexNetWork.SendTcpMessage("k\0中", "值"), true)
            T.eq(orvexNetWork.SendTcpMessage(7, 8), true)
        end,
        ["SendTcpMessage refuses empty or non-text parts without sending"] = function()
            T.eq(orvexNetWork.SendTcpMessage("", "x"), false)
            T.eq(orvexNetWork.SendTcpMessage("x", ""), false)
            T.eq(orvexNetWork.SendTcpMessage({}, "x"), false)
            T.eq(orvexNetWork.SendTcpMessage("x", true), false)
            T.raises("argv error", orvexNetWork.SendTcpMessage, "x", "y", "z")
        end,
        ["WriteToClient passes the data unchanged"] = function()
            T.eq(orvexIpc.WriteToClient("客户端", "\0\255\1x"), true)
            T.raises("argv error", orvexIpc.WriteToClient, "client", "")
            T.raises("argv error", orvexIpc.WriteToClient, "", "data")
            T.raises("argv error", orvexIpc.WriteToClient, "client")
        end,
        ["engine answers"] = function()
            T.eq(orvexKorin.StartKorin("ignored"), true)   -- answer -5
            T.eq(orvexKorin.StartKorin(), false)           -- answer 0
            T.eq(orvexKorin.StopKorin(), true)
            T.eq(orvexKorin.UnInstallKorin(1, 2, 3), true)
            T.eq(orvexKorin.RequestRule("x", {}), true)
        end,
    })
end

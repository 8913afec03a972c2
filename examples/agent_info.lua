-- Reads the agent's identity and reports it over the agent's channel.
-- orvex --agent examples/agent.json run examples/agent_info.lua
function orvexScriptMain()
    local id = {
        vm = orvexConfig.GetVMid() or "?",
        version = orvexConfig.GetCurrentVersion() or "?",
        host = orvexNetWork.GetLocalHostName() or "?",
        online = tostring(orvexNetWork.IsLoginServer()),
    }
    local text = orvexJson.GetJsonBuffer(id)
    orvexNetWork.SendTcpMessage(text, "identity")
    return text
end

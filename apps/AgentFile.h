// Agent components for the orvex command, read from a JSON file, so that
// scripts using orvexConfig, orvexNetWork and orvexIpc can be tried outside
// the agent:
//
//   {
//     "config": {"VMid": "...", "MachineUuid": "...", "IdentityIp": "...",
//                "PlatInfo": "...", "CurrentVersion": "...",
//                "ServiceIp": "...", "Uuid": "..."},
//     "login": true,
//     "recordDir": "records"
//   }
//
// Every key is optional. Texts are the agent's texts byte for byte, so they
// are in the local code page. With "recordDir" (relative to the file's
// directory, created when missing) each network message is appended to
// network.jsonl as {"first": ..., "second": ...} and each IPC write to
// ipc.jsonl as {"client": ..., "data": ...}, one JSON object a line, bytes
// as received (control characters escaped); without it messages and writes
// are refused (false).
#pragma once

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "../platform/pyn/AgentComponents.h"

namespace orvexcli {

class CliConfig : public COrvexConfig {
public:
    // Keys of the "config" object.
    static const std::vector<std::string>& Keys() {
        static const std::vector<std::string> keys = {"VMid",           "MachineUuid", "IdentityIp", "PlatInfo",
                                                      "CurrentVersion", "ServiceIp",   "Uuid"};
        return keys;
    }
    std::map<std::string, std::string> values;

    std::string GetVMid() override { return Value("VMid"); }
    std::string GetBiosUuid() override { return Value("MachineUuid"); }
    std::string GetIdentityIp() const override { return Value("IdentityIp"); }
    std::string GetPlatInfo() override { return Value("PlatInfo"); }
    std::string GetCurrentVersion() override { return Value("CurrentVersion"); }
    std::string GetServiceIp() override { return Value("ServiceIp"); }
    std::string GetUuid() override { return Value("Uuid"); }

private:
    std::string Value(const std::string& key) const {
        auto it = values.find(key);
        return it == values.end() ? std::string() : it->second;
    }
};

// Appends one JSON object of string members a line to a file.
class RecordFile {
public:
    explicit RecordFile(std::string path) : m_path(std::move(path)) {}
    bool Append(const std::vector<std::pair<const char*, std::string>>& members) {
        if (m_path.empty()) return false;
        rapidjson::StringBuffer line;
        rapidjson::Writer<rapidjson::StringBuffer> writer(line);
        writer.StartObject();
        for (const auto& m : members) {
            writer.Key(m.first);
            writer.String(m.second.data(), static_cast<rapidjson::SizeType>(m.second.size()));
        }
        writer.EndObject();
        std::lock_guard<std::mutex> lock(m_mutex);
        std::ofstream out(m_path, std::ios::binary | std::ios::app);
        out.write(line.GetString(), static_cast<std::streamsize>(line.GetSize()));
        out.put('\n');
        out.flush();
        return static_cast<bool>(out);
    }

private:
    std::string m_path;
    std::mutex m_mutex;
};

class CliNetWork : public CNetWork {
public:
    CliNetWork(bool login, const std::string& recordPath) : m_login(login), m_records(recordPath) {}
    bool SendNetMessage(const std::string& first, const std::string& second) override {
        return m_records.Append({{"first", first}, {"second", second}});
    }
    bool IsLoginSucc() override { return m_login; }

private:
    bool m_login;
    RecordFile m_records;
};

class CliIpc : public COrvexIpc {
public:
    explicit CliIpc(const std::string& recordPath) : m_records(recordPath) {}
    bool WriteToClient(const std::string& name, const std::vector<signed char>& data) override {
        return m_records.Append({{"client", name}, {"data", std::string(data.begin(), data.end())}});
    }

private:
    RecordFile m_records;
};

inline bool AgentFileError(std::string& error, const std::string& message) {
    error = message;
    return false;
}

// Reads the agent file and installs its components for the rest of the
// process (they are never destroyed: script threads may still use them).
inline bool InstallAgentFile(const std::string& path, std::string& error) {
    namespace fs = std::filesystem;
    std::ifstream in(path, std::ios::binary);
    if (!in) return AgentFileError(error, "cannot read agent file " + path);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    rapidjson::Document doc;
    doc.Parse(text.data(), text.size());
    if (doc.HasParseError())
        return AgentFileError(error, path + ": " + rapidjson::GetParseError_En(doc.GetParseError()) + " at offset " +
                                         std::to_string(doc.GetErrorOffset()));
    if (!doc.IsObject()) return AgentFileError(error, path + ": expected a JSON object");

    auto config = std::make_unique<CliConfig>();
    bool login = false;
    std::string recordDir;
    for (auto m = doc.MemberBegin(); m != doc.MemberEnd(); ++m) {
        const std::string key(m->name.GetString(), m->name.GetStringLength());
        if (key == "config" && m->value.IsObject()) {
            for (auto c = m->value.MemberBegin(); c != m->value.MemberEnd(); ++c) {
                const std::string name(c->name.GetString(), c->name.GetStringLength());
                const auto& keys = CliConfig::Keys();
                if (std::find(keys.begin(), keys.end(), name) == keys.end() || !c->value.IsString()) {
                    return AgentFileError(error, path + ": config \"" + name + "\" is not one of the known texts");
                }
                config->values[name].assign(c->value.GetString(), c->value.GetStringLength());
            }
        } else if (key == "login" && m->value.IsBool()) {
            login = m->value.GetBool();
        } else if (key == "recordDir" && m->value.IsString() && m->value.GetStringLength() > 0) {
            recordDir.assign(m->value.GetString(), m->value.GetStringLength());
        } else {
            return AgentFileError(error, path + ": unknown key or wrong type: \"" + key + "\"");
        }
    }

    std::string networkRecords, ipcRecords;
    if (!recordDir.empty()) {
        fs::path dir(recordDir);
        if (dir.is_relative()) dir = fs::path(path).parent_path() / dir;
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (!fs::is_directory(dir, ec)) {
            return AgentFileError(error, "cannot create record directory " + dir.string());
        }
        networkRecords = (dir / "network.jsonl").string();
        ipcRecords = (dir / "ipc.jsonl").string();
    }
    pyn::CSingleton<COrvexConfig>::SetInstance(config.release());
    pyn::CSingleton<CNetWork>::SetInstance(new CliNetWork(login, networkRecords));
    pyn::CSingleton<COrvexIpc>::SetInstance(new CliIpc(ipcRecords));
    return true;
}

}  // namespace orvexcli

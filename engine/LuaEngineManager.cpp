#include "LuaEngineManager.h"

#include <utility>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "ChunkCache.h"
#include "EngineLifetime.h"
#include "RunControl.h"
#include "ScriptThreads.h"
#include "pyn/AlgorithmUtil.h"
#include "pyn/FileUtil.h"
#include "pyn/ThreadUtil.h"

namespace orvex {
namespace {

// Holds the engine lock taken by a successful try until the scope ends.
class EngineLockHold {
public:
    EngineLockHold(pyn::CReadWriteLockUtil& lock, bool exclusive, bool aheadOfWriters = false)
        : m_lock(lock),
          m_held(exclusive        ? lock.tryWriteLock(CLuaEngineManager::kLockTimeout)
                 : aheadOfWriters ? lock.tryReadLockAheadOfWriters(CLuaEngineManager::kLockTimeout)
                                  : lock.tryReadLock(CLuaEngineManager::kLockTimeout)) {}
    ~EngineLockHold() {
        if (m_held) m_lock.unlock();
    }
    EngineLockHold(const EngineLockHold&) = delete;
    EngineLockHold& operator=(const EngineLockHold&) = delete;
    bool held() const { return m_held; }

private:
    pyn::CReadWriteLockUtil& m_lock;
    bool m_held;
};

const char kTryLockTimeout[] = "tryLock Timeout";

// The calling thread's shared run in progress, if any (see RunMark).
thread_local CLuaWorker* t_runWorker = nullptr;
thread_local uint64_t t_runSerial = 0;

// Marks the calling thread's worker as being in a shared run of the engine
// lock for the scope (nested runs leave the outer mark as it is).
class RunMark {
public:
    explicit RunMark(CLuaWorker& worker) : m_worker(t_runWorker ? nullptr : &worker) {
        if (!m_worker) return;
        t_runSerial = m_worker->BeginSharedRun();
        t_runWorker = m_worker;
    }
    ~RunMark() {
        if (!m_worker) return;
        m_worker->EndSharedRun();
        t_runWorker = nullptr;
        t_runSerial = 0;
    }
    RunMark(const RunMark&) = delete;
    RunMark& operator=(const RunMark&) = delete;

private:
    CLuaWorker* m_worker;
};

}  // namespace

CLuaEngineManager& CLuaEngineManager::Instance() { return CEngineLifetime::Manager(); }

bool CLuaEngineManager::Exec(Hold kind, const std::string& scriptPath, const std::string& functionName,
                             std::string& result, const std::vector<std::string>& args, bool encoded) {
    EngineLockHold hold(m_engineLock, kind == Hold::kExclusive, kind == Hold::kSharedAheadOfWriters);
    if (!hold.held()) {
        result = kTryLockTimeout;
        return false;
    }
    std::string source = GetScriptSource(scriptPath, encoded);
    std::shared_ptr<CLuaWorker> worker = GetThreadWorker();
    if (kind == Hold::kExclusive) return worker->ExecScript(source, functionName, result, args);
    RunMark mark(*worker);
    return worker->ExecScript(source, functionName, result, args);
}

bool CLuaEngineManager::ExecLua(const std::string& scriptPath, const std::string& functionName,
                                std::string& result, const std::vector<std::string>& args, bool encoded) {
    return Exec(Hold::kShared, scriptPath, functionName, result, args, encoded);
}

bool CLuaEngineManager::LockExecLua(const std::string& scriptPath, const std::string& functionName,
                                    std::string& result, const std::vector<std::string>& args, bool encoded) {
    return Exec(Hold::kExclusive, scriptPath, functionName, result, args, encoded);
}

bool CLuaEngineManager::ExecLuaFor(const RunToken& creator, const std::string& scriptPath, std::string& result,
                                   const std::vector<std::string>& args, bool encoded) {
    return Exec(creator.StillHolds() ? Hold::kSharedAheadOfWriters : Hold::kShared, scriptPath, std::string(), result,
                args, encoded);
}

RunToken CLuaEngineManager::CurrentRunToken() {
    if (!t_runWorker) return RunToken();
    return RunToken{t_runWorker->SharedRunMarker(), t_runSerial};
}

int CLuaEngineManager::GetVarInt(const std::string& scriptPath, const std::string& varName, bool encoded) {
    EngineLockHold hold(m_engineLock, false);
    if (!hold.held()) return 0;
    std::string source = GetScriptSource(scriptPath, encoded);
    std::shared_ptr<CLuaWorker> worker = GetThreadWorker();
    RunMark mark(*worker);
    return worker->GetVarInt(source, varName);
}

std::map<std::string, std::string> CLuaEngineManager::GetVarMap(const std::string& scriptPath,
                                                                const std::string& varName, bool encoded) {
    EngineLockHold hold(m_engineLock, false);
    if (!hold.held()) return {};
    std::string source = GetScriptSource(scriptPath, encoded);
    std::shared_ptr<CLuaWorker> worker = GetThreadWorker();
    RunMark mark(*worker);
    return worker->GetVarMap(source, varName);
}

bool CLuaEngineManager::RunModuleScript(const std::string& scriptPath, bool encoded, lua_State* L) {
    EngineLockHold hold(m_engineLock, false);
    if (!hold.held()) return false;
    std::string source = GetScriptSource(scriptPath, encoded);
    if (L) return CLuaWorker::RunModuleSource(L, source);
    return GetThreadWorker()->RunModuleSource(source);
}

void CLuaEngineManager::ClearLuaCache() {
    {
        pyn::CMutexLockUtil guard(m_cacheMutex);
        m_sourceCache.clear();
    }
    // Every state's compiled chunks go too, each at its next load.
    CChunkCache::ClearAll();
}

std::string CLuaEngineManager::DecodeScriptText(const std::string& text) {
    std::string decoded = pyn::CAlgorithmUtil::fromBase64(text);
    for (char& c : decoded) c = static_cast<char>(~static_cast<unsigned char>(c));
    return decoded;
}

std::string CLuaEngineManager::EncodeScriptText(const std::string& source) {
    std::string complement(source);
    for (char& c : complement) c = static_cast<char>(~static_cast<unsigned char>(c));
    return pyn::CAlgorithmUtil::toBase64(complement);
}

namespace {

// Reads a script file; "" when it is missing, unreadable, empty or too large.
// Reading stops at the limit: a longer file arrives with exactly
// kMaxScriptBytes bytes and is refused, unread past that point.
std::string ReadScriptFile(const std::string& scriptPath) {
    std::string text;
    pyn::CFileUtil::ReadFullFile(scriptPath, text, CLuaEngineManager::kMaxScriptBytes);
    if (text.size() >= CLuaEngineManager::kMaxScriptBytes) return std::string();
    return text;
}

}  // namespace

std::string CLuaEngineManager::GetScriptSource(const std::string& scriptPath, bool encoded) {
    {
        pyn::CMutexLockUtil guard(m_cacheMutex);
        if (m_sourceCache.size() >= kMaxCacheEntries) m_sourceCache.clear();
        auto hit = m_sourceCache.find(scriptPath);
        if (hit != m_sourceCache.end()) {
            ++m_cacheHits;
            return hit->second;
        }
        ++m_cacheMisses;
        if (encoded) {
            // Encoded misses are read and decoded under the mutex, so two
            // threads missing the same script decode it once after another.
            std::string decoded = DecodeScriptText(ReadScriptFile(scriptPath));
            if (!decoded.empty()) m_sourceCache.emplace(scriptPath, decoded);
            return decoded;
        }
    }
    // Plain sources are never cached: read them without holding the mutex,
    // so threads running plain scripts do not queue behind each other.
    return ReadScriptFile(scriptPath);
}

std::shared_ptr<CLuaWorker> CLuaEngineManager::GetThreadWorker() {
    const uint32_t id = pyn::CThreadUtil::GetCurrentThreadId();
    ThreadWorker stale;
    std::shared_ptr<CLuaWorker> worker;
    {
        pyn::CMutexLockUtil guard(m_workerMutex);
        auto it = m_workers.find(id);
        if (it != m_workers.end() && !it->second.ended()) return it->second.worker;
        // The worker of an ended thread whose id this thread got again: its
        // globals are not this thread's.
        if (it != m_workers.end()) {
            stale = std::move(it->second);
            m_workers.erase(it);
        }
        worker = std::make_shared<CLuaWorker>();
        // It goes when the thread ends: a thread that makes one call and
        // ends must not leave its state behind, nor hand its globals to a
        // later thread that gets the same id.
        m_workers.emplace(id, ThreadWorker{worker, CEngineLifetime::WatchThreadEnd()});
    }
    if (stale.worker) CloseAndForget(std::move(stale));
    return worker;
}

void CLuaEngineManager::CloseAndForget(ThreadWorker slot) {
    slot.worker->CloseState();
    CEngineLifetime::ForgetThreadEnd(slot.end);
}

void CLuaEngineManager::ReleaseThreadWorker() {
    const uint32_t id = pyn::CThreadUtil::GetCurrentThreadId();
    // A finalizer run by the close may give the thread a worker again: it
    // goes too.
    for (;;) {
        ThreadWorker slot;
        {
            pyn::CMutexLockUtil guard(m_workerMutex);
            auto it = m_workers.find(id);
            if (it == m_workers.end()) return;
            slot = std::move(it->second);
            m_workers.erase(it);
        }
        CloseAndForget(std::move(slot));
    }
}

void CLuaEngineManager::ReleaseEndedWorkers() {
    // One at a time, without allocating: a close runs finalizers, which may
    // change the map.
    for (;;) {
        ThreadWorker slot;
        {
            pyn::CMutexLockUtil guard(m_workerMutex);
            auto it = m_workers.begin();
            while (it != m_workers.end() && !it->second.ended()) ++it;
            if (it == m_workers.end()) return;
            slot = std::move(it->second);
            m_workers.erase(it);
        }
        CloseAndForget(std::move(slot));
    }
}

void CLuaEngineManager::CloseAllStates() {
    // A finalizer may make this thread a worker of its own; close until none
    // is left. Each state closes outside the map's mutex.
    for (;;) {
        std::map<uint32_t, ThreadWorker> workers;
        {
            pyn::CMutexLockUtil guard(m_workerMutex);
            workers.swap(m_workers);
        }
        if (workers.empty()) return;
        for (auto& entry : workers) CloseAndForget(std::move(entry.second));
    }
}

std::string CLuaEngineManager::StatisticsJson() {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> out(buffer);
    auto field = [&out](const char* name, uint64_t value) {
        out.Key(name);
        out.Uint64(value);
    };
    out.StartObject();
    out.Key("limits");
    out.StartObject();
    field("runTimeMs", CRunControl::RunTimeLimit());
    field("scriptThreadTimeMs", CRunControl::ScriptThreadTimeLimit());
    field("stateMemoryBytes", CRunControl::StateMemoryLimit());
    out.EndObject();

    // The workers' own counters, read as they stand (each worker's thread
    // writes its own; nothing here holds up a run).
    std::vector<std::shared_ptr<CLuaWorker>> workers;
    {
        pyn::CMutexLockUtil guard(m_workerMutex);
        workers.reserve(m_workers.size());
        for (const auto& entry : m_workers) workers.push_back(entry.second.worker);
    }
    auto number = [](const std::atomic<uint64_t>& counter) { return counter.load(std::memory_order_relaxed); };
    out.Key("states");
    out.StartArray();
    for (const auto& worker : workers) {
        const CLuaWorker::Stats& stats = worker->RunStats();
        out.StartObject();
        field("thread", worker->OwnerThread());
        field("bytes", worker->Allocator().BytesInUse());
        field("peakBytes", worker->Allocator().PeakBytes());
        field("runs", number(stats.runs));
        field("failedRuns", number(stats.failed));
        field("timeouts", number(stats.timeouts));
        field("stops", number(stats.stops));
        field("outOfMemory", number(stats.outOfMemory));
        out.Key("runTimeMs");
        out.Double(static_cast<double>(number(stats.runNanos)) / 1e6);
        out.EndObject();
    }
    out.EndArray();

    uint64_t entries = 0, bytes = 0, hits = 0, misses = 0;
    {
        pyn::CMutexLockUtil guard(m_cacheMutex);
        entries = m_sourceCache.size();
        for (const auto& entry : m_sourceCache) bytes += entry.second.size();
        hits = m_cacheHits;
        misses = m_cacheMisses;
    }
    out.Key("sourceCache");
    out.StartObject();
    field("entries", entries);
    field("bytes", bytes);
    field("hits", hits);
    field("misses", misses);
    out.EndObject();

    const pyn::CReadWriteLockUtil::Counters lock = m_engineLock.GetCounters();
    out.Key("engineLock");
    out.StartObject();
    field("waits", lock.waits);
    field("timeouts", lock.timeouts);
    out.EndObject();

    const CScriptThreadManager::Counters threads = CScriptThreadManager::Instance().GetCounters();
    out.Key("scriptThreads");
    out.StartObject();
    field("running", threads.running);
    field("started", threads.started);
    field("endedWithError", threads.endedWithError);
    out.EndObject();
    out.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

int CLuaEngineManager::WaitingWritersForTesting() { return m_engineLock.WaitingWritersForTesting(); }

size_t CLuaEngineManager::WorkerCountForTesting() {
    pyn::CMutexLockUtil guard(m_workerMutex);
    return m_workers.size();
}

size_t CLuaEngineManager::CacheSizeForTesting() {
    pyn::CMutexLockUtil guard(m_cacheMutex);
    return m_sourceCache.size();
}

}  // namespace orvex

#include "EngineLifetime.h"

#include <thread>

#include "LuaEngineManager.h"
#include "ScriptThreads.h"
#include "pyn/HttpUtil.h"
#include "pyn/NoDestructor.h"
#include "pyn/ThreadUtil.h"

namespace orvex {

std::atomic<bool> CEngineLifetime::s_closed{false};

namespace {

enum Phase : int { kOpen, kClosing, kClosed };

std::atomic<int> g_phase{kOpen};
// Entries alive in the whole process, and on this thread.
std::atomic<int> g_inside{0};
thread_local int t_inside = 0;

std::atomic<long long> g_exitWaitMillis{CEngineLifetime::kDefaultExitWait.count()};
std::atomic<bool> g_detaching{false};
std::atomic<bool> g_processEnding{false};

// Plain pointers, readable whatever has run at exit: null before the
// engine is built and again after a shutdown that freed it.
std::atomic<CLuaEngineManager*> g_engine{nullptr};
std::atomic<CScriptThreadManager*> g_threads{nullptr};

// A thread that had a worker has ended: its worker and Lua state go, on the
// thread itself, as one more entry into the engine (refused, and so doing
// nothing, once the shutdown has begun: that closes or keeps every state).
void ReleaseEndedThread(void*) {
    // A thread does not end in the middle of one of its own calls; were it
    // to, what that call uses stays as it is.
    if (t_inside != 0) return;
    CEngineLifetime::Entry entry;
    if (entry) entry.manager().ReleaseThreadWorker();
}

// Given back at the end of the shutdown, so that no thread ending after the
// library is unloaded calls into its code. Never destroyed: threads may end
// while the process exits.
pyn::CThreadEndCall& ThreadEnds() {
    static pyn::NoDestructor<pyn::CThreadEndCall> call(&ReleaseEndedThread, nullptr);
    return *call;
}

}  // namespace

// Built on first use; its destructor, run at process exit or library
// unload, is the shutdown.
struct CEngineLifetime::Root {
    Root() {
        // Libraries that clean up after themselves at exit (OpenSSL, through
        // the HTTP client's set-up) are made ready before this object is
        // complete, so that their clean-up runs after this one's destructor,
        // and finalizers run by it still find them working.
        pyn::CSingleton<pyn::CHttpUtil>::GetInstance();
        // Without a slot threads keep their workers until the shutdown.
        ThreadEnds().Open();
        g_engine.store(new CLuaEngineManager, std::memory_order_release);
        g_threads.store(new CScriptThreadManager, std::memory_order_release);
    }
    ~Root() { Shutdown(); }
    static void Shutdown();
};

CEngineLifetime::Root& CEngineLifetime::TheRoot() {
    static Root root;
    return root;
}

void CEngineLifetime::Root::Shutdown() {
    g_phase.store(kClosing);
    CLuaEngineManager* engine = g_engine.load(std::memory_order_acquire);
    CScriptThreadManager* threads = g_threads.load(std::memory_order_acquire);
    const bool ending = g_processEnding.load();
    // Under the system's loader lock (Windows) a finalizer must not call
    // into other modules: script functions refuse from the start.
    if (g_detaching.load()) s_closed.store(true);

    bool quiet;
    if (ending) {
        // The other threads were ended without unwinding: whatever they were
        // inside stays as it is.
        quiet = g_inside.load() == 0 && !threads->AnyRunning();
    } else {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(g_exitWaitMillis.load());
        quiet = threads->StopAll(deadline);
        // Host calls on other threads: new ones are refused, running ones end.
        while (g_inside.load() > t_inside && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        quiet = quiet && g_inside.load() == 0;
    }
    if (quiet) {
        // Nothing is inside: every state closes here, its finalizers run with
        // every service there, then the managers go.
        engine->CloseAllStates();
        delete threads;
        g_threads.store(nullptr);
        delete engine;
        g_engine.store(nullptr);
    } else {
        // Something is still inside: it keeps what it uses, and the script
        // functions it calls from now on refuse.
        threads->Park();
    }
    // The slot is given back, but not when the process is ending: the
    // system has ended the other threads wherever they were, perhaps inside
    // its own thread-slot bookkeeping, whose lock freeing the slot would
    // wait for forever.
    if (!ending) ThreadEnds().Close();
    s_closed.store(true);
    g_phase.store(kClosed);
}

CEngineLifetime::Entry::Entry() : m_manager(nullptr) {
    TheRoot();
    g_inside.fetch_add(1);
    if (g_phase.load() != kOpen) {
        g_inside.fetch_sub(1);
        return;
    }
    ++t_inside;
    m_manager = g_engine.load(std::memory_order_acquire);
    // Threads that ended since the last call leave their states here, on a
    // thread that is not inside a run.
    if (t_inside == 1 && ThreadEnds().TakeEnded()) m_manager->ReleaseEndedWorkers();
}

CEngineLifetime::Entry::~Entry() {
    if (!m_manager) return;
    --t_inside;
    g_inside.fetch_sub(1);
}

CLuaEngineManager& CEngineLifetime::Manager() {
    TheRoot();
    return *g_engine.load(std::memory_order_acquire);
}

CScriptThreadManager& CEngineLifetime::ScriptThreads() {
    TheRoot();
    return *g_threads.load(std::memory_order_acquire);
}

pyn::CThreadEndCall::Mark* CEngineLifetime::WatchThreadEnd() { return ThreadEnds().Watch(); }

void CEngineLifetime::ForgetThreadEnd(pyn::CThreadEndCall::Mark* mark) { ThreadEnds().Forget(mark); }

void CEngineLifetime::LoaderDetaching(bool processEnding) {
    g_detaching.store(true);
    if (processEnding) g_processEnding.store(true);
}

void CEngineLifetime::SetExitWaitForTesting(std::chrono::milliseconds wait) { g_exitWaitMillis.store(wait.count()); }

}  // namespace orvex

// Called by the Windows library's DllMain (not exported).
void orvexLoaderDetaching(bool processEnding) { orvex::CEngineLifetime::LoaderDetaching(processEnding); }

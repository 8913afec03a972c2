// Thread base class of the pyn utility layer.
//
// A derived class implements ThreadFunction; startThread runs it once on a
// new operating-system thread.
//
// Lifetime rules:
// - The destructor waits for a running thread to end (it blocks for as long
//   as ThreadFunction runs). Destroying the object on its own thread detaches
//   the thread instead.
// - A derived object's members are destroyed before this base destructor
//   runs, so a derived class whose ThreadFunction uses them calls waitThread()
//   in its own destructor.
// - An owner that must not block indefinitely (process exit) waits with
//   waitThreadFor and, when the thread has not ended, keeps the object alive
//   instead of destroying it under the thread.
// - The first successful startThread pins the module (shared library) that
//   holds this code in memory for the rest of the process: unloading it
//   while one of its threads still runs would pull the code from under that
//   thread, so an unload request after that point leaves it loaded.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

namespace pyn {

class CThreadUtil {
protected:
    // The thread body; first virtual slot, the destructor second.
    virtual void ThreadFunction() = 0;

public:
    CThreadUtil();
    virtual ~CThreadUtil();
    CThreadUtil(const CThreadUtil&) = delete;
    CThreadUtil& operator=(const CThreadUtil&) = delete;

    // Starts ThreadFunction on a new operating-system thread. False when a
    // thread of this object already runs or the system refuses a new one.
    bool startThread();
    // True from a successful startThread until ThreadFunction has returned.
    bool IsThreadRunning() const;
    // Blocks until the thread has ended (no-op when none was started, or when
    // called on the thread itself).
    void waitThread();
    // Waits at most `timeout` for ThreadFunction to return; true when no
    // thread runs any more. Never joins, so it is safe from any thread.
    bool waitThreadFor(std::chrono::milliseconds timeout) const;

    // Id of the calling operating-system thread (gettid / GetCurrentThreadId).
    static uint32_t GetCurrentThreadId();

private:
    void Run();

    std::thread m_thread;
    mutable std::mutex m_stateMutex;
    mutable std::condition_variable m_ended;
    bool m_running = false;
};

// Watches threads that asked for it (Watch) for their end. Each watched
// thread gets a mark that is set once the thread has ended.
//
// - POSIX: a thread-specific key's destructor sets the mark as the thread
//   ends, and calls the function there, on that thread.
// - Windows: nothing runs as a thread ends. Every callback the system has
//   for that (fiber-local slots, thread detach) runs under its own locks,
//   also while the process exits after the system has ended the other
//   threads wherever they were, and the emulator we test under hung and
//   crashed exits of hosts whose threads were ending meanwhile. Instead each
//   mark holds a handle of its thread (which also keeps the thread's id
//   from going to a new thread), and TakeEnded looks which threads have
//   ended: when a thread was watched since it last looked, or some time has
//   passed. The function is not called; the owner collects the ended
//   threads itself (TakeEnded, Mark::Ended).
//
// Unlike a thread-local object with a destructor it does not keep the
// library loaded while such a thread lives, and after Close nothing of it
// runs at any thread's end.
class CThreadEndCall {
public:
    using Function = void (*)(void* context);

    class Mark {
    public:
        // The watched thread has ended (as far as known: see TakeEnded).
        bool Ended() const { return m_ended.load(std::memory_order_acquire); }

    private:
        friend class CThreadEndCall;
        explicit Mark(CThreadEndCall* call) : m_call(call) {}
        ~Mark();
        CThreadEndCall* const m_call;
        std::atomic<bool> m_ended{false};
        void* m_thread = nullptr;  // Windows: a handle of the thread
    };

    CThreadEndCall(Function function, void* context) : m_function(function), m_context(context) {}
    CThreadEndCall(const CThreadEndCall&) = delete;
    CThreadEndCall& operator=(const CThreadEndCall&) = delete;

    // Takes a slot from the system where one is needed; false when there is
    // none left (threads then are not watched). Once.
    bool Open();
    // Watches the calling thread: the mark its end sets, owned here until
    // the owner gives it back with Forget. Meant for once per thread (a new
    // Watch replaces the thread's mark on POSIX, which then never ends).
    // Null when there is no slot or no memory.
    Mark* Watch();
    // The owner is done with `mark`: freed at once when its thread has
    // ended, else once it has.
    void Forget(Mark* mark);
    // True when a watched thread has ended since the last call, its mark
    // set. Cheap on POSIX; on Windows it looks at the watched threads when
    // one was watched since it last looked or kPollInterval has passed, and
    // is cheap otherwise.
    bool TakeEnded();
    static constexpr std::chrono::milliseconds kPollInterval{100};
    // No call from now on, on any thread, and the slot is given back: before
    // the code of the function may go (library unload). Threads watched then
    // are not watched any more. Their marks stay (a thread ending just then
    // may still set its own), reachable from here.
    void Close();

    // From the slot's clean-up at thread end (POSIX): sets the mark, then
    // calls the function.
    static void Ended(Mark* mark, bool callFunction);

private:
    Mark* NewMark();
    void FreeEndedLocked();

    Function m_function;
    void* m_context;
    std::atomic<bool> m_open{false};
    // POSIX: a watched thread has ended. Windows: a thread was watched.
    std::atomic<bool> m_endedSince{false};
    std::atomic<long long> m_lastLookMs{0};  // Windows
    unsigned long m_slot = 0;
    std::mutex m_marksMutex;
    // Every mark not yet freed, and those given back whose thread lives.
    std::unordered_set<Mark*> m_marks;
    std::vector<Mark*> m_forgotten;
};

}  // namespace pyn

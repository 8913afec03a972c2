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

// Calls a function on each thread that asked for it (Watch) as that thread
// ends, on that thread. Unlike a thread-local object with a destructor it
// does not keep the library loaded while such a thread lives: the call is
// held by a POSIX thread-specific key, and Close gives the key back. On
// Windows there is no such call (Open gives false; see ThreadUtil.cpp
// there).
class CThreadEndCall {
public:
    using Function = void (*)(void* context);
    constexpr CThreadEndCall(Function function, void* context) : m_function(function), m_context(context) {}
    CThreadEndCall(const CThreadEndCall&) = delete;
    CThreadEndCall& operator=(const CThreadEndCall&) = delete;

    // Takes a slot from the system; false when it has none left (threads
    // then get no call). Once.
    bool Open();
    // The calling thread gets the call when it ends. Cheap, but meant for
    // once per thread; false when there is no slot.
    bool Watch();
    // No call from now on, on any thread, and the slot is given back: before
    // the code of the function may go (library unload). Threads watched then
    // get no call.
    void Close();

    // From the slot's clean-up at thread end (platform code).
    void Ended() {
        if (m_open.load(std::memory_order_acquire)) m_function(m_context);
    }

private:
    Function m_function;
    void* m_context;
    std::atomic<bool> m_open{false};
    unsigned long m_slot = 0;
};

}  // namespace pyn

// The marks of CThreadEndCall; the slot itself is per platform
// (ThreadUtil.cpp of each platform).
#include <new>

#include "pyn/ThreadUtil.h"

namespace pyn {

CThreadEndCall::Mark* CThreadEndCall::NewMark() {
    Mark* mark = new (std::nothrow) Mark(this);
    if (!mark) return nullptr;
    try {
        std::lock_guard<std::mutex> guard(m_marksMutex);
        m_marks.insert(mark);
    } catch (...) {
        delete mark;
        return nullptr;
    }
    return mark;
}

void CThreadEndCall::Forget(Mark* mark) {
    if (!mark) return;
    std::lock_guard<std::mutex> guard(m_marksMutex);
    if (mark->Ended()) {
        m_marks.erase(mark);
        delete mark;
    } else {
        // Freed once its thread has ended; without room to remember that,
        // it stays for good.
        try {
            m_forgotten.push_back(mark);
        } catch (...) {
        }
    }
    FreeEndedLocked();
}

void CThreadEndCall::FreeEndedLocked() {
    size_t kept = 0;
    for (Mark* mark : m_forgotten) {
        if (mark->Ended()) {
            m_marks.erase(mark);
            delete mark;
        } else {
            m_forgotten[kept++] = mark;
        }
    }
    m_forgotten.resize(kept);
}

void CThreadEndCall::Ended(Mark* mark, bool callFunction) {
    // Read before the mark is set: once it is, its owner may free it.
    CThreadEndCall* call = mark->m_call;
    mark->m_ended.store(true, std::memory_order_release);
    call->m_endedSince.store(true, std::memory_order_release);
    if (callFunction && call->m_open.load(std::memory_order_acquire)) call->m_function(call->m_context);
}

}  // namespace pyn

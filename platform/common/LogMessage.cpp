#include "pyn/LogMessage.h"
#include "pyn/NoDestructor.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <mutex>
#include <string>
#include <vector>

namespace pyn {
namespace {

struct SinkSlot {
    std::mutex mutex;
    LogSinkFn sink = nullptr;
    void* user = nullptr;
};

// Never destroyed: finalizers closed at exit may still log.
SinkSlot& Slot() {
    static NoDestructor<SinkSlot> slot;
    return *slot;
}

void DefaultSink(int level, const char* source, int line, const char* text) {
    time_t now = time(nullptr);
    struct tm tmNow;
#if defined(_WIN32)
    localtime_s(&tmNow, &now);
#else
    localtime_r(&now, &tmNow);
#endif
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tmNow);
    // One record, one line: a line break inside a text (a script's DebugLog,
    // say) would start what reads as a record of its own.
    std::string oneLine;
    if (strpbrk(text, "\r\n")) {
        for (const char* c = text; *c; ++c) {
            if (*c == '\n') oneLine += "\\n";
            else if (*c == '\r') oneLine += "\\r";
            else oneLine += *c;
        }
        text = oneLine.c_str();
    }
    if (source && *source)
        fprintf(stderr, "%s %d %s:%d %s\n", stamp, level, source, line, text);
    else
        fprintf(stderr, "%s %d %s\n", stamp, level, text);
}

}  // namespace

CLogMessage* CLogMessage::GetInstance() {
    static CLogMessage* instance = new CLogMessage;  // never destroyed
    return instance;
}

void CLogMessage::SetSink(LogSinkFn sink, void* user) {
    SinkSlot& s = Slot();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.sink = sink;
    s.user = user;
}

void CLogMessage::Emit(int level, const char* source, int line, const char* text) {
    SinkSlot& s = Slot();
    // Held while the sink runs: records reach it one at a time and a sink
    // being replaced is never called afterwards.
    std::lock_guard<std::mutex> guard(s.mutex);
    if (s.sink)
        s.sink(level, source ? source : "", line, text, s.user);
    else
        DefaultSink(level, source, line, text);
}

void CLogMessage::log(int level, const char* source, int line, const char* format, ...) {
    char small[512];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof small) {
        Emit(level, source, line, small);
        return;
    }
    std::vector<char> big(static_cast<size_t>(n) + 1);
    va_start(args, format);
    vsnprintf(big.data(), big.size(), format, args);
    va_end(args);
    Emit(level, source, line, big.data());
}

void CLogMessage::WriteLogMessage(const std::string& text, int level) {
    Emit(level, "", 0, text.c_str());
}

}  // namespace pyn

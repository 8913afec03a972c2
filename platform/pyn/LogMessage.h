// Logger of the pyn utility layer: records go to one sink, by default stderr.
#pragma once

#include <string>

namespace pyn {

enum PynLogLevel {
    PynLogFatal = 1,
    PynLogError = 2,  // failures (service control, HTTP, script threads)
    PynLogWarning = 3,
    PynLogInfo = 4,   // engine start failure, script debug lines
    PynLogDebug = 5,
};

using LogSinkFn = void (*)(int level, const char* source, int line, const char* text, void* user);

class CLogMessage {
public:
    static CLogMessage* GetInstance();

    // printf-style record with the source name and line.
    void log(int level, const char* source, int line, const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 5, 6)))
#endif
        ;
    // Whole-text record.
    void WriteLogMessage(const std::string& text, int level);

    // Installs a sink (null restores the default stderr sink).
    static void SetSink(LogSinkFn sink, void* user);

private:
    CLogMessage() = default;
    static void Emit(int level, const char* source, int line, const char* text);
};

}  // namespace pyn

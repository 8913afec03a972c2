// The exported host-side settings (OrvexHost.h).
#include <cstring>

#include "EngineLifetime.h"
#include "LuaEngineManager.h"
#include "OrvexHost.h"
#include "RunControl.h"
#include "pyn/HostSettings.h"
#include "pyn/LogMessage.h"

extern "C" {

ORVEX_API void orvexSetApplicationDir(const char* dir) {
    try {
        pyn::CHostSettings::SetApplicationDir(dir ? dir : "");
    } catch (...) {
    }
}

ORVEX_API void orvexSetLocalCodePage(const char* codePage) {
    try {
        pyn::CHostSettings::SetLocalCodePage(codePage ? codePage : "");
    } catch (...) {
    }
}

ORVEX_API void orvexSetLogSink(OrvexLogSink sink, void* user) { pyn::CLogMessage::SetSink(sink, user); }

ORVEX_API void orvexSetReadLimit(size_t bytes) { pyn::CHostSettings::SetReadLimit(bytes); }

}  // extern "C"

namespace {

size_t CopyOut(const std::string& text, char* out, size_t outSize) {
    if (text.size() <= outSize && out && !text.empty()) std::memcpy(out, text.data(), text.size());
    return text.size();
}

}  // namespace

extern "C" {

ORVEX_API void orvexSetRunTimeLimit(unsigned milliseconds) { orvex::CRunControl::SetRunTimeLimit(milliseconds); }

ORVEX_API void orvexSetScriptThreadTimeLimit(unsigned milliseconds) {
    orvex::CRunControl::SetScriptThreadTimeLimit(milliseconds);
}

ORVEX_API void orvexSetStateMemoryLimit(size_t bytes) { orvex::CRunControl::SetStateMemoryLimit(bytes); }

ORVEX_API void orvexStopAllRuns(void) { orvex::CRunControl::StopAll(); }

ORVEX_API size_t orvexGetStatistics(char* out, size_t outSize) {
    try {
        orvex::CEngineLifetime::Entry engine;
        if (!engine) return 0;
        return CopyOut(engine.manager().StatisticsJson(), out, outSize);
    } catch (...) {
        return 0;
    }
}

ORVEX_API size_t orvexEncodeScript(const char* source, size_t size, char* out, size_t outSize) {
    try {
        if (!source || size == 0) return 0;
        return CopyOut(orvex::CLuaEngineManager::EncodeScriptText(std::string(source, size)), out, outSize);
    } catch (...) {
        return 0;
    }
}

ORVEX_API size_t orvexDecodeScript(const char* encoded, size_t size, char* out, size_t outSize) {
    try {
        if (!encoded || size == 0) return 0;
        return CopyOut(orvex::CLuaEngineManager::DecodeScriptText(std::string(encoded, size)), out, outSize);
    } catch (...) {
        return 0;
    }
}

}  // extern "C"

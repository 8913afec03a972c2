// The C interface (OrvexEngine.h): the exported C++ functions behind plain
// C types. Nothing escapes to the caller: a failure to allocate is an
// outcome of 0 and a null result.
#include <map>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "LuaEngineInterface.h"
#include "OrvexEngine.h"

struct OrvexResult {
    std::string text;
    std::vector<std::pair<std::string, std::string>> entries;
};

namespace {

std::string Text(const char* data, size_t size) { return data && size ? std::string(data, size) : std::string(); }

std::vector<std::string> Arguments(const char* const* args, const size_t* sizes, size_t count) {
    std::vector<std::string> list;
    list.reserve(count);
    for (size_t i = 0; i < count; ++i) list.push_back(args ? Text(args[i], sizes ? sizes[i] : 0) : std::string());
    return list;
}

const char* Bytes(const std::string& text, size_t* size) {
    if (size) *size = text.size();
    return text.data();
}

using ExecFn = bool (*)(const std::string&, const std::string&, std::string&, const std::vector<std::string>&,
                        bool);

int Exec(ExecFn exec, const char* script, size_t scriptSize, const char* function, size_t functionSize,
         const char* const* args, const size_t* argSizes, size_t argCount, int encoded, const char* resultIn,
         size_t resultInSize, OrvexResult** result) {
    if (result) *result = nullptr;
    try {
        // Owned until it is handed over: copying the arguments may throw.
        std::unique_ptr<OrvexResult> out(new OrvexResult);
        out->text = Text(resultIn, resultInSize);
        const bool ok = exec(Text(script, scriptSize), Text(function, functionSize), out->text,
                             Arguments(args, argSizes, argCount), encoded != 0);
        if (result) *result = out.release();
        return ok ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

}  // namespace

extern "C" {

ORVEX_API const char* orvexResultData(const OrvexResult* result, size_t* size) {
    if (!result) {
        if (size) *size = 0;
        return "";
    }
    return Bytes(result->text, size);
}

ORVEX_API size_t orvexResultCount(const OrvexResult* result) { return result ? result->entries.size() : 0; }

ORVEX_API const char* orvexResultKey(const OrvexResult* result, size_t index, size_t* size) {
    if (!result || index >= result->entries.size()) {
        if (size) *size = 0;
        return nullptr;
    }
    return Bytes(result->entries[index].first, size);
}

ORVEX_API const char* orvexResultValue(const OrvexResult* result, size_t index, size_t* size) {
    if (!result || index >= result->entries.size()) {
        if (size) *size = 0;
        return nullptr;
    }
    return Bytes(result->entries[index].second, size);
}

ORVEX_API void orvexResultFree(OrvexResult* result) { delete result; }

ORVEX_API int orvexExecLua(const char* script, size_t scriptSize, const char* function, size_t functionSize,
                           const char* const* args, const size_t* argSizes, size_t argCount, int encoded,
                           const char* resultIn, size_t resultInSize, OrvexResult** result) {
    return Exec(&CLuaEngineInterface::ExecLua, script, scriptSize, function, functionSize, args, argSizes, argCount,
                encoded, resultIn, resultInSize, result);
}

ORVEX_API int orvexLockExecLua(const char* script, size_t scriptSize, const char* function, size_t functionSize,
                               const char* const* args, const size_t* argSizes, size_t argCount, int encoded,
                               const char* resultIn, size_t resultInSize, OrvexResult** result) {
    return Exec(&CLuaEngineInterface::LockExecLua, script, scriptSize, function, functionSize, args, argSizes,
                argCount, encoded, resultIn, resultInSize, result);
}

ORVEX_API int orvexGetVarInt(const char* script, size_t scriptSize, const char* name, size_t nameSize,
                             int encoded) {
    try {
        return CLuaEngineInterface::GetVarInt(Text(script, scriptSize), Text(name, nameSize), encoded != 0);
    } catch (...) {
        return 0;
    }
}

ORVEX_API OrvexResult* orvexGetVarMap(const char* script, size_t scriptSize, const char* name, size_t nameSize,
                                      int encoded) {
    try {
        std::unique_ptr<OrvexResult> out(new OrvexResult);
        for (auto& entry :
             CLuaEngineInterface::GetVarMap(Text(script, scriptSize), Text(name, nameSize), encoded != 0))
            out->entries.emplace_back(entry.first, entry.second);
        return out.release();
    } catch (...) {
        return nullptr;
    }
}

ORVEX_API void orvexClearLuaCache(void) { CLuaEngineInterface::ClearLuaCache(); }

}  // extern "C"

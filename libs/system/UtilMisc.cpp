// orvexUtil: HTTP transfers, archives and compression, facts about the
// system, and small tools on strings, buffers, time and the log.
#include <cstdint>
#include <ctime>

#include "ScriptBinding.h"
#include "UtilWrapper.h"
#include "pyn/AlgorithmUtil.h"
#include "pyn/FileUtil.h"
#include "pyn/HttpUtil.h"
#include "pyn/LogMessage.h"
#include "pyn/ToolUtil.h"
#include "pyn/ZipUtil.h"

namespace orvex {
namespace util {
namespace {

const char kLogSource[] = "UtilWrapper";
const int kDefaultTimeoutMs = 10000;
// Whole-transfer limits (ms) of the GET to a file, the GET into a buffer and
// both POST functions; -1: no limit on the body size.
const int kFileTransferMs = 300000;
const int kBufferTransferMs = 120000;
const int kPostConnectMs = 300000;
const int kPostTransferMs = 300000;
const int64_t kNoSizeLimit = -1;

// The status as the log lines print it: its low 32 bits, signed.
int StatusForLog(int64_t status) { return static_cast<int32_t>(static_cast<uint32_t>(status)); }

// Shared by both POST functions: the request (when there is a body) and the
// three results.
int PostAndPush(lua_State* L, const std::string& url, const std::string& body) {
    int64_t status = 0;
    std::string response;
    bool ok = false;
    if (!body.empty()) {
        ok = pyn::CSingleton<pyn::CHttpUtil>::GetInstance()->HttpPostFromBuffer(
                 url, body, response, status, nullptr, kPostConnectMs, kPostTransferMs) &&
             status == 200;
    }
    PushBool(L, ok);
    PushText(L, pyn::CStringUtil::IntToString(status, nullptr, 10));
    PushText(L, response);
    return 3;
}

// Checks for exactly one non-empty bytes argument and returns it.
std::string OneBytesArg(lua_State* L) {
    CheckArgCount(L, 1);
    std::string bytes = RequireBytesArg(L, 1);
    return bytes;
}

}  // namespace

int HttpGetToFile(lua_State* L) {
    CheckMinArgCount(L, 2);
    std::string url = GetStringArg(L, 1);
    std::string path = GetStringArg(L, 2);
    RequireNonEmpty(url);
    RequireNonEmpty(path);
    int timeout = lua_gettop(L) > 2 ? GetIntArg(L, 3) : kDefaultTimeoutMs;
    int64_t status = 0;
    bool ok = pyn::CSingleton<pyn::CHttpUtil>::GetInstance()->HttpGetToFile(url, path, status, nullptr, timeout,
                                                                            kFileTransferMs, kNoSizeLimit) &&
              status == 200;
    if (!ok)
        pyn::CLogMessage::GetInstance()->log(pyn::PynLogError, kLogSource, __LINE__, "HttpGetToFile Error %d",
                                             StatusForLog(status));
    PushBool(L, ok);
    return 1;
}

int HttpGetToBuffer(lua_State* L) {
    CheckMinArgCount(L, 1);
    std::string url = RequireStringArg(L, 1);
    int timeout = lua_gettop(L) > 1 ? GetIntArg(L, 2) : kDefaultTimeoutMs;
    int64_t status = 0;
    std::string body;
    bool ok = pyn::CSingleton<pyn::CHttpUtil>::GetInstance()->HttpGetToBuffer(url, body, status, nullptr, timeout,
                                                                              kBufferTransferMs, kNoSizeLimit);
    if (!ok || status != 200 || body.empty())
        pyn::CLogMessage::GetInstance()->log(pyn::PynLogError, kLogSource, __LINE__, "HttpGetToBuffer Error %d",
                                             StatusForLog(status));
    PushBytes(L, body);
    return 1;
}

int HttpPostFromFile(lua_State* L) {
    if (lua_gettop(L) < 2 || !lua_isstring(L, 1)) ThrowArgvError();
    std::string url = GetStringArg(L, 1);
    std::string path = GetStringArg(L, 2);
    RequireNonEmpty(url);
    RequireNonEmpty(path);
    // A missing, unreadable or empty file leaves the body empty: no request.
    std::string body;
    pyn::CFileUtil::ReadFullFile(path, body);
    return PostAndPush(L, url, body);
}

int HttpPostFromBuffer(lua_State* L) {
    if (lua_gettop(L) < 2 || !lua_isstring(L, 1)) ThrowArgvError();
    std::string url = GetStringArg(L, 1);
    std::string body = GetBytesArg(L, 2);
    RequireNonEmpty(url);
    RequireNonEmpty(body);
    return PostAndPush(L, url, body);
}

int miniUnzip(lua_State* L) {
    CheckArgCount(L, 2);
    std::string zipFile = GetStringArg(L, 1);
    std::string dir = GetStringArg(L, 2);
    RequireNonEmpty(zipFile);
    RequireNonEmpty(dir);
    PushBool(L, pyn::CZipUtil::miniUnzip(zipFile, dir));
    return 1;
}

int DirzipFile(lua_State* L) {
    CheckArgCount(L, 2);
    std::string dir = GetStringArg(L, 1);
    std::string zipFile = GetStringArg(L, 2);
    RequireNonEmpty(dir);
    RequireNonEmpty(zipFile);
    PushBool(L, pyn::CZipUtil::DirzipFile(dir, zipFile));
    return 1;
}

int Compress(lua_State* L) {
    PushBytes(L, pyn::CZipUtil::Compress(OneBytesArg(L)));
    return 1;
}

int UnCompress(lua_State* L) {
    PushBytes(L, pyn::CZipUtil::UnCompress(OneBytesArg(L)));
    return 1;
}

int zlibCompress(lua_State* L) {
    PushBytes(L, pyn::CZipUtil::zlibCompress(OneBytesArg(L)));
    return 1;
}

int GetSystemVersion(lua_State* L) {
    lua_pushstring(L, pyn::CToolUtil::IsX64System() ? "win64" : "win32");
    return 1;
}

int IsX64System(lua_State* L) {
    PushBool(L, pyn::CToolUtil::IsX64System());
    return 1;
}

int GetAppPath(lua_State* L) {
    // Local code page on purpose: scripts hand it straight back to the agent.
    PushBytes(L, pyn::CToolUtil::GetApplicationDirPath());
    return 1;
}

int msleep(lua_State* L) {
    CheckArgCount(L, 1);
    pyn::CToolUtil::msleep(static_cast<int64_t>(GetIntArg(L, 1)));
    PushBool(L, true);
    return 1;
}

int trimmed(lua_State* L) {
    PushBytes(L, pyn::CStringUtil::stringTrimmed(OneBytesArg(L)));
    return 1;
}

int DebugLog(lua_State* L) {
    CheckArgCount(L, 1);
    std::string message = GetStringArg(L, 1);
    if (message.empty()) ThrowScriptError(kGetLogBufferError);
    // The log line ends at the first zero byte.
    pyn::CLogMessage::GetInstance()->WriteLogMessage(std::string(message.c_str()), pyn::PynLogInfo);
    PushBool(L, true);
    return 1;
}

int contains(lua_State* L) {
    CheckArgCount(L, 2);
    std::string haystack = GetBytesArg(L, 1);
    std::string needle = GetBytesArg(L, 2);
    RequireNonEmpty(haystack);
    RequireNonEmpty(needle);
    PushBool(L, pyn::CStringUtil::stringContains(haystack, needle));
    return 1;
}

int ConverBufferToString(lua_State* L) {
    CheckArgCount(L, 1);
    PushBytes(L, RequireBytesArg(L, 1));
    return 1;
}

int ConverStringToBuffer(lua_State* L) {
    CheckArgCount(L, 1);
    std::string text = RequireStringArg(L, 1);
    PushBytes(L, text);
    return 1;
}

int currentMSecsSinceEpoch(lua_State* L) {
    // Whole seconds: the value is always a multiple of 1000.
    int64_t ms = static_cast<int64_t>(std::time(nullptr)) * 1000;
    lua_pushnumber(L, static_cast<lua_Number>(ms));
    return 1;
}

int toHex(lua_State* L) {
    CheckArgCount(L, 1);
    pyn::ByteVector bytes = RequireBufferArg(L, 1);
    PushBytes(L, pyn::CAlgorithmUtil::toHex(bytes));
    return 1;
}

int fromHex(lua_State* L) {
    CheckArgCount(L, 1);
    pyn::ByteVector text = RequireBufferArg(L, 1);
    PushBytes(L, pyn::CAlgorithmUtil::fromHex(text));
    return 1;
}

}  // namespace util
}  // namespace orvex

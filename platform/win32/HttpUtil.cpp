// CHttpUtil on WinHTTP, with the contract of the POSIX (libcurl) build.
//
// Where Windows differs:
// - Proxies come from the WinHTTP settings of the machine (netsh winhttp),
//   not from the http_proxy/https_proxy/no_proxy environment variables.
// - Server certificates are checked against the Windows certificate store.
// - WinHTTP bounds each step (name lookup, connect, send, each wait for
//   data), not a transfer as a whole; the whole-transfer limit is kept by
//   giving every step only the time that is left.
#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "WinFs.h"
#include "WinText.h"
#include "common/TextAndFileHelpers.h"
#include "pyn/RunBudget.h"
#include "pyn/HttpUtil.h"

namespace pyn {
namespace {

// Set-up ends after this long when the caller sets no limit (as libcurl's
// built-in connect time-out).
const int kDefaultConnectMs = 300000;

// One session for the process: WinHTTP handles serve any number of threads.
HINTERNET Session() {
    static HINTERNET session = [] {
        HINTERNET s = WinHttpOpen(L"orvexLuaEngine", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                  WINHTTP_NO_PROXY_BYPASS, 0);
        if (s) {
            DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
#ifdef WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3
            protocols |= WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
#endif
            if (!WinHttpSetOption(s, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
                protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;  // systems without TLS 1.3
                WinHttpSetOption(s, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
            }
        }
        return s;
    }();
    return session;
}

struct Handle {
    HINTERNET h = nullptr;
    ~Handle() {
        if (h) WinHttpCloseHandle(h);
    }
};

class Deadline {
public:
    explicit Deadline(int ms)
        : m_limited(ms > 0), m_end(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms > 0 ? ms : 0)) {}
    // Milliseconds left (at least 1), 0 when none are, or -1 without a limit.
    int Left() const {
        if (!m_limited) return -1;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_end - std::chrono::steady_clock::now());
        return left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }

private:
    bool m_limited;
    std::chrono::steady_clock::time_point m_end;
};

// Where a body goes: a string or a file.
struct Sink {
    std::string* body = nullptr;
    HANDLE file = INVALID_HANDLE_VALUE;
    int64_t maxBytes = -1;
    int64_t received = 0;
    // The body passed maxBytes (or memory ran out for it).
    bool overLimit = false;

    bool Write(const char* data, DWORD n) {
        if (maxBytes > 0 && static_cast<int64_t>(n) > maxBytes - received) {
            overLimit = true;
            return false;
        }
        if (body) {
            try {
                body->append(data, n);
            } catch (const std::bad_alloc&) {
                overLimit = true;
                return false;
            }
        } else {
            DWORD done = 0;
            while (done < n) {
                DWORD w = 0;
                if (!WriteFile(file, data + done, n - done, &w, nullptr) || w == 0) return false;
                done += w;
            }
        }
        received += n;
        return true;
    }
};

struct Request {
    const std::string& url;
    IHttpCallBack* callback;
    int connectTimeoutMs;
    int transferTimeoutMs;
    const std::string* post = nullptr;  // the body of a POST
};

int64_t QueryNumber(HINTERNET request, DWORD what) {
    DWORD value = 0, size = sizeof value;
    if (!WinHttpQueryHeaders(request, what | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX, &value, &size,
                             WINHTTP_NO_HEADER_INDEX))
        return -1;
    return value;
}

int64_t ContentLength(HINTERNET request) {
    wchar_t text[32];
    DWORD size = sizeof text;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX))
        return -1;
    wchar_t* end = nullptr;
    long long n = wcstoll(text, &end, 10);
    return end != text && *end == L'\0' && n >= 0 ? n : -1;
}

// Reports progress to the caller's callback (if any); false stops the
// transfer, as does a callback that throws.
bool Progress(IHttpCallBack* callback, int64_t received, int64_t total, int64_t uploaded) {
    if (CRunBudget::Expired()) return false;  // a script run past its deadline, or stopped
    if (!callback) return true;
    try {
        return callback->OnProgress(received, total > 0 ? total : 0, uploaded, uploaded);
    } catch (...) {
        return false;
    }
}

// Gives every following step of `request` at most what is left of the
// transfer time; false when nothing is.
bool LimitSteps(HINTERNET request, const Deadline& deadline, int connectMs) {
    int left = deadline.Left();
    if (left == 0) return false;
    int step = left < 0 ? 0 : left;  // 0: no limit
    int connect = connectMs > 0 ? connectMs : kDefaultConnectMs;
    if (left > 0 && left < connect) connect = left;
    DWORD wait = static_cast<DWORD>(step);
    // The wait for the response headers has a time-out of its own.
    return WinHttpSetTimeouts(request, connect, connect, step, step) &&
           WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &wait, sizeof wait);
}

std::wstring HeaderText(HINTERNET request, DWORD what) {
    DWORD size = 0;
    WinHttpQueryHeaders(request, what, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                        WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return std::wstring();
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    if (!WinHttpQueryHeaders(request, what, WINHTTP_HEADER_NAME_BY_INDEX, &text[0], &size, WINHTTP_NO_HEADER_INDEX))
        return std::wstring();
    text.resize(size / sizeof(wchar_t));
    return text;
}

// The URL a Location header names, resolved against the URL it came from.
std::wstring ResolveLocation(const std::wstring& base, const URL_COMPONENTS& parts, const std::wstring& location) {
    if (location.find(L"://") != std::wstring::npos) return location;
    std::wstring scheme(parts.lpszScheme, parts.dwSchemeLength);
    if (location.compare(0, 2, L"//") == 0) return scheme + L":" + location;
    // scheme://host[:port]
    std::wstring origin = base.substr(0, static_cast<size_t>(parts.lpszUrlPath - base.c_str()));
    if (!location.empty() && location[0] == L'/') return origin + location;
    std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    size_t slash = path.rfind(L'/');
    return origin + (slash == std::wstring::npos ? L"/" : path.substr(0, slash + 1)) + location;
}

bool IsRedirect(int64_t code) { return code == 301 || code == 302 || code == 303 || code == 307 || code == 308; }

// Runs one exchange, following redirects itself (at most kMaxRedirects, to
// http and https only, both ways, as the POSIX build); fills in the status
// of every response that arrives, so that it ends as the last one's.
bool Perform(const Request& r, Sink& sink, int64_t& status) {
    // Inside a script run, no longer than the run may still take.
    Deadline deadline(CRunBudget::CutTimeoutMs(r.transferTimeoutMs));
    std::wstring url = win32::ToWide(CP_UTF8, r.url.data(), r.url.size());
    bool post = r.post != nullptr;
    if (!Session() || (post && r.post->size() > 0xFFFFFFFFu)) return false;
    Handle connection, request;
    for (int redirects = 0;; ++redirects) {
        URL_COMPONENTS parts = {};
        parts.dwStructSize = sizeof parts;
        parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength =
            static_cast<DWORD>(-1);
        if (url.empty() || !WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return false;
        if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return false;
        std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
        std::wstring object(parts.lpszUrlPath, parts.dwUrlPathLength);
        object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
        if (object.empty()) object = L"/";

        Handle nextConnection, nextRequest;
        nextConnection.h = WinHttpConnect(Session(), host.c_str(), parts.nPort, 0);
        if (!nextConnection.h) return false;
        std::swap(connection.h, nextConnection.h);
        nextRequest.h = WinHttpOpenRequest(connection.h, post ? L"POST" : L"GET", object.c_str(), nullptr,
                                           WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                           parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
        if (!nextRequest.h) return false;
        std::swap(request.h, nextRequest.h);
        // Redirects are followed here. As with libcurl: no cookies kept
        // between calls (the session is shared), and no logon credentials of
        // the process offered to a server or proxy that asks for them.
        DWORD disable = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_AUTHENTICATION;
        DWORD logon = WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH;
        if (!WinHttpSetOption(request.h, WINHTTP_OPTION_DISABLE_FEATURE, &disable, sizeof disable) ||
            !WinHttpSetOption(request.h, WINHTTP_OPTION_AUTOLOGON_POLICY, &logon, sizeof logon))
            return false;

        if (CRunBudget::Expired() || !LimitSteps(request.h, deadline, r.connectTimeoutMs)) return false;
        const wchar_t* headers = post ? L"Content-Type: application/x-www-form-urlencoded\r\n" : nullptr;
        DWORD postSize = post ? static_cast<DWORD>(r.post->size()) : 0;
        if (!WinHttpSendRequest(request.h, headers ? headers : WINHTTP_NO_ADDITIONAL_HEADERS, headers ? -1L : 0,
                                postSize ? const_cast<char*>(r.post->data()) : WINHTTP_NO_REQUEST_DATA, postSize,
                                postSize, 0))
            return false;
        if (!LimitSteps(request.h, deadline, r.connectTimeoutMs) || !WinHttpReceiveResponse(request.h, nullptr))
            return false;
        int64_t code = QueryNumber(request.h, WINHTTP_QUERY_STATUS_CODE);
        if (code < 0) return false;
        status = code;
        std::wstring location = IsRedirect(code) ? HeaderText(request.h, WINHTTP_QUERY_LOCATION) : std::wstring();
        if (location.empty()) break;  // the final response
        if (redirects == CHttpUtil::kMaxRedirects) return false;
        url = ResolveLocation(url, parts, location);
        // 307 and 308 repeat the request as it was; the others go on with GET.
        if (code != 307 && code != 308) post = false;
    }

    int64_t total = ContentLength(request.h);
    if (sink.maxBytes > 0 && total > sink.maxBytes) {
        sink.overLimit = true;  // announced too long
        return false;
    }
    if (sink.body && total > 0 && total <= (int64_t(256) << 20)) {
        try {
            sink.body->reserve(static_cast<size_t>(total));
        } catch (const std::bad_alloc&) {
            sink.overLimit = true;
            return false;
        }
    }
    int64_t uploaded = r.post ? static_cast<int64_t>(r.post->size()) : 0;
    if (!Progress(r.callback, 0, total, uploaded)) return false;
    std::vector<char> buffer(256 * 1024);
    for (;;) {
        if (!LimitSteps(request.h, deadline, r.connectTimeoutMs)) return false;
        DWORD got = 0;
        if (!WinHttpReadData(request.h, buffer.data(), static_cast<DWORD>(buffer.size()), &got)) return false;
        if (got == 0) break;
        if (!sink.Write(buffer.data(), got)) return false;
        if (!Progress(r.callback, sink.received, total, uploaded)) return false;
    }
    // A connection closed before the announced length is a failed transfer.
    return total < 0 || sink.received == total;
}

}  // namespace

CHttpUtil::CHttpUtil() = default;

CHttpUtil::~CHttpUtil() = default;

bool CHttpUtil::HttpGetToBuffer(const std::string& url, std::string& body, int64_t& status, IHttpCallBack* callback,
                                int connectTimeoutMs, int transferTimeoutMs, int64_t maxBytes) {
    status = 0;
    body.clear();
    if (!detail::IsPathText(url)) return false;
    Sink sink;
    sink.body = &body;
    sink.maxBytes = detail::InMemoryLimit(maxBytes);
    bool ok = Perform(Request{url, callback, connectTimeoutMs, transferTimeoutMs}, sink, status);
    if (sink.overLimit) std::string().swap(body);
    return ok;
}

bool CHttpUtil::HttpGetToFile(const std::string& url, const std::string& path, int64_t& status,
                              IHttpCallBack* callback, int connectTimeoutMs, int transferTimeoutMs,
                              int64_t maxBytes) {
    status = 0;
    if (!detail::IsPathText(url) || !detail::IsPathText(path)) return false;
    std::wstring target = win32::LocalToWide(path);
    if (target.back() == L'/' || target.back() == L'\\') return false;  // a directory
    // The body goes into the replace routine's temporary, which replaces the
    // file only when the download completed with status 200.
    bool ok = false;
    win32::ReplaceOptions options;
    options.tag = L"part";
    bool kept = win32::ReplaceFile(target, options, [&](HANDLE file) {
        Sink sink;
        sink.maxBytes = maxBytes;
        sink.file = file;
        ok = Perform(Request{url, callback, connectTimeoutMs, transferTimeoutMs}, sink, status);
        return ok && status == 200;
    });
    // A completed exchange with another status is no transport failure; the
    // file is merely left alone.
    return ok && (kept || status != 200);
}

bool CHttpUtil::HttpPostFromBuffer(const std::string& url, const std::string& request, std::string& response,
                                   int64_t& status, IHttpCallBack* callback, int connectTimeoutMs,
                                   int transferTimeoutMs) {
    status = 0;
    response.clear();
    if (!detail::IsPathText(url)) return false;
    Sink sink;
    sink.body = &response;
    sink.maxBytes = detail::InMemoryLimit(-1);
    Request r{url, callback, connectTimeoutMs, transferTimeoutMs};
    r.post = &request;
    bool ok = Perform(r, sink, status);
    if (sink.overLimit) std::string().swap(response);
    return ok;
}

}  // namespace pyn

// HTTP client of the pyn utility layer.
//
// One instance serves the whole process: CSingleton<CHttpUtil>::GetInstance()
// always returns it (it is never null and cannot be replaced). Every call is
// self-contained, so any number of threads may call at once.
//
// Transfers: HTTP and HTTPS only (also after a redirect); at most
// kMaxRedirects redirects are followed; server certificates and host names
// are verified against the system's trusted certificates; proxies named by
// the usual environment variables (http_proxy, https_proxy, no_proxy) apply.
// On Windows (WinHTTP) the proxy is the machine's WinHTTP setting instead,
// and the trusted certificates are those of the Windows certificate store.
// No cookies are kept between calls and no logon credentials are offered.
//
// Time-outs are in milliseconds. connectTimeoutMs bounds the connection set-up
// (name lookup, TCP and TLS handshake), transferTimeoutMs the whole transfer
// from start to end. A value of 0 or less means no limit of its own
// (connection set-up then still ends after the client's built-in 300 s).
//
// `status` is set to 0 first, then to the final HTTP status of the exchange
// (after redirects) once a response arrived. The result is true when the
// exchange completed, whatever the status; false for a transport failure
// (connection refused, time-out, TLS failure, too many redirects, a body
// over the limit, a write failure, an abort by the callback, a callback that
// throws). Callers decide what a status means.
#pragma once

#include <cstdint>
#include <string>

#include "Singleton.h"

namespace pyn {

// Progress of a transfer; may stop it.
class IHttpCallBack {
public:
    // Called now and then during a transfer with the bytes received or sent
    // so far and the expected totals (0 when unknown). Returning false aborts
    // the transfer (the call then fails).
    virtual bool OnProgress(int64_t downloaded, int64_t downloadTotal, int64_t uploaded, int64_t uploadTotal) = 0;

protected:
    ~IHttpCallBack() = default;
};

class CHttpUtil {
public:
    static constexpr int kMaxRedirects = 8;

    // GET `url` into the file `path`. The body is written to a temporary file
    // beside the target, which replaces the target only when the exchange
    // completed with status 200; otherwise the target is left as it was and
    // the temporary file is removed. The file is replaced as
    // CFileUtil::ReplaceFileAtomically replaces one (owner, group and mode
    // kept; nothing but a regular file replaced; no request made then).
    // maxBytes limits the body (-1, or any value of 0 or less, for no
    // limit).
    bool HttpGetToFile(const std::string& url, const std::string& path, int64_t& status, IHttpCallBack* callback,
                       int connectTimeoutMs, int transferTimeoutMs, int64_t maxBytes);
    // GET `url` into `body` (replaced; the body of any status is kept). A
    // failed transfer leaves whatever part arrived, except that a body longer
    // than maxBytes (when above 0) or than CHostSettings::ReadLimit() ends
    // the transfer at once and leaves `body` empty (the result is false).
    bool HttpGetToBuffer(const std::string& url, std::string& body, int64_t& status, IHttpCallBack* callback,
                         int connectTimeoutMs, int transferTimeoutMs, int64_t maxBytes);
    // POST the bytes of `request` to `url` (with the client's default
    // content type, application/x-www-form-urlencoded); the response body
    // goes into `response` (replaced). A response body longer than
    // CHostSettings::ReadLimit() ends the transfer at once and leaves
    // `response` empty (the result is false; `status` is the response's).
    bool HttpPostFromBuffer(const std::string& url, const std::string& request, std::string& response,
                            int64_t& status, IHttpCallBack* callback, int connectTimeoutMs, int transferTimeoutMs);

    CHttpUtil(const CHttpUtil&) = delete;
    CHttpUtil& operator=(const CHttpUtil&) = delete;

private:
    friend class CSingleton<CHttpUtil>;
    CHttpUtil();
    ~CHttpUtil();
};

// The library's own instance, created on first use.
template <>
CHttpUtil* CSingleton<CHttpUtil>::GetInstance();
// The instance cannot be replaced.
template <>
void CSingleton<CHttpUtil>::SetInstance(CHttpUtil*) = delete;

}  // namespace pyn

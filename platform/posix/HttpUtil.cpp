#include "pyn/HttpUtil.h"

#include "SafeFs.h"
#include "common/TextAndFileHelpers.h"
#include "pyn/RunBudget.h"

#include <curl/curl.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace pyn {
namespace {

// What the write callback appends to: a string or a file descriptor.
struct Sink {
    std::string* body = nullptr;
    int fd = -1;
    int64_t maxBytes = -1;
    int64_t received = 0;
    CURL* curl = nullptr;
    // The body passed maxBytes (or memory ran out for it).
    bool overLimit = false;
};

// libcurl's write callback: a C frame calls it, so nothing may leave it by
// exception; a failure is a short count, which ends the transfer at once.
size_t WriteBody(char* data, size_t size, size_t count, void* user) noexcept {
    Sink* sink = static_cast<Sink*>(user);
    size_t n = size * count;
    if (sink->maxBytes > 0 && static_cast<int64_t>(n) > sink->maxBytes - sink->received) {
        sink->overLimit = true;
        return 0;
    }
    if (sink->body) {
        try {
            if (sink->received == 0 && sink->body->empty()) {
                // Reserve once for the announced length; capped, so that a
                // false announcement cannot make us reserve much.
                curl_off_t length = -1;
                if (curl_easy_getinfo(sink->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
                    length > 0 && length <= (curl_off_t(256) << 20) &&
                    (sink->maxBytes <= 0 || length <= sink->maxBytes))
                    sink->body->reserve(static_cast<size_t>(length));
            }
            sink->body->append(data, n);
        } catch (...) {
            sink->overLimit = true;
            return 0;
        }
    } else {
        size_t done = 0;
        while (done < n) {
            ssize_t w = write(sink->fd, data + done, n - done);
            if (w < 0) {
                if (errno == EINTR) continue;
                return 0;
            }
            done += static_cast<size_t>(w);
        }
    }
    sink->received += static_cast<int64_t>(n);
    return n;
}

// libcurl's progress callback; the caller's callback may throw, which ends
// the transfer as its false would. A script run past its deadline or
// stopped ends the transfer too.
int Progress(void* user, curl_off_t dlTotal, curl_off_t dlNow, curl_off_t ulTotal, curl_off_t ulNow) noexcept {
    try {
        if (CRunBudget::Expired()) return 1;
        IHttpCallBack* callback = static_cast<IHttpCallBack*>(user);
        return callback && !callback->OnProgress(dlNow, dlTotal, ulNow, ulTotal) ? 1 : 0;
    } catch (...) {
        return 1;
    }
}

struct Easy {
    CURL* curl = curl_easy_init();
    ~Easy() {
        if (curl) curl_easy_cleanup(curl);
    }
};

// Options every request shares.
void Configure(CURL* curl, const std::string& url, IHttpCallBack* callback, int connectTimeoutMs,
               int transferTimeoutMs) {
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    // Larger reads than the 16 KiB default: fewer calls for large bodies.
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 256L * 1024);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, static_cast<long>(CHttpUtil::kMaxRedirects));
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    // Inside a script run, no longer than the run may still take.
    connectTimeoutMs = CRunBudget::CutTimeoutMs(connectTimeoutMs);
    transferTimeoutMs = CRunBudget::CutTimeoutMs(transferTimeoutMs);
    if (connectTimeoutMs > 0) curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectTimeoutMs));
    if (transferTimeoutMs > 0) curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(transferTimeoutMs));
    if (callback || CRunBudget::InRun()) {
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &Progress);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, callback);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    }
}

// Runs the transfer; fills in the status whenever a response arrived.
bool Perform(CURL* curl, Sink& sink, int64_t& status) {
    sink.curl = curl;
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &WriteBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    if (sink.maxBytes > 0) curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(sink.maxBytes));
    CURLcode rc = curl_easy_perform(curl);
    if (rc == CURLE_FILESIZE_EXCEEDED) sink.overLimit = true;  // announced too long
    long code = 0;
    if (curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code) == CURLE_OK) status = code;
    return rc == CURLE_OK;
}

}  // namespace

CHttpUtil::CHttpUtil() { curl_global_init(CURL_GLOBAL_DEFAULT); }

CHttpUtil::~CHttpUtil() { curl_global_cleanup(); }

bool CHttpUtil::HttpGetToBuffer(const std::string& url, std::string& body, int64_t& status, IHttpCallBack* callback,
                                int connectTimeoutMs, int transferTimeoutMs, int64_t maxBytes) {
    status = 0;
    body.clear();
    Easy easy;
    if (!easy.curl || !detail::IsPathText(url)) return false;
    Configure(easy.curl, url, callback, connectTimeoutMs, transferTimeoutMs);
    Sink sink;
    sink.body = &body;
    sink.maxBytes = detail::InMemoryLimit(maxBytes);
    bool ok = Perform(easy.curl, sink, status);
    if (sink.overLimit) std::string().swap(body);
    return ok;
}

bool CHttpUtil::HttpGetToFile(const std::string& url, const std::string& path, int64_t& status,
                              IHttpCallBack* callback, int connectTimeoutMs, int transferTimeoutMs,
                              int64_t maxBytes) {
    status = 0;
    if (!detail::IsPathText(url) || !detail::IsPathText(path)) return false;
    Easy easy;
    if (!easy.curl) return false;
    // The body goes into the replace routine's temporary, which replaces the
    // file only when the download completed with status 200.
    bool ok = false;
    posix::ReplaceOptions options;
    options.tag = "part";
    bool kept = posix::ReplaceFile(path, options, [&](int fd) {
        Configure(easy.curl, url, callback, connectTimeoutMs, transferTimeoutMs);
        Sink sink;
        sink.fd = fd;
        sink.maxBytes = maxBytes;
        ok = Perform(easy.curl, sink, status);
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
    Easy easy;
    if (!easy.curl || !detail::IsPathText(url)) return false;
    Configure(easy.curl, url, callback, connectTimeoutMs, transferTimeoutMs);
    curl_easy_setopt(easy.curl, CURLOPT_POST, 1L);
    curl_easy_setopt(easy.curl, CURLOPT_POSTFIELDS, request.data());
    curl_easy_setopt(easy.curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.size()));
    // No "Expect: 100-continue" round trip before larger bodies: servers that
    // do not answer it would cost a second's wait per request.
    // Freed on every path; the handle does not read it after the transfer.
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> headers(curl_slist_append(nullptr, "Expect:"),
                                                                &curl_slist_free_all);
    curl_easy_setopt(easy.curl, CURLOPT_HTTPHEADER, headers.get());
    Sink sink;
    sink.body = &response;
    sink.maxBytes = detail::InMemoryLimit(-1);
    bool ok = Perform(easy.curl, sink, status);
    if (sink.overLimit) std::string().swap(response);
    return ok;
}

}  // namespace pyn

// Host names and addresses: the system resolver and libcurl's URL parser.
#include "pyn/HostInfoUtil.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

namespace pyn {

std::string CHostInfoUtil::GetLocalHostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof(name) - 1) != 0) return std::string();
    return std::string(name);
}

std::vector<std::string> CHostInfoUtil::GetIpListByDomain(const std::string& domain, int maxCount) {
    std::vector<std::string> v4, v6;
    if (maxCount <= 0 || domain.empty() || domain.find('\0') != std::string::npos) return v4;

    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
    addrinfo* found = nullptr;
    if (getaddrinfo(domain.c_str(), nullptr, &hints, &found) != 0) return v4;
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> guard(found, freeaddrinfo);

    for (const addrinfo* ai = found; ai; ai = ai->ai_next) {
        char text[INET6_ADDRSTRLEN] = {};
        std::vector<std::string>* list = nullptr;
        if (ai->ai_family == AF_INET) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
            if (!inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text))) continue;
            list = &v4;
        } else if (ai->ai_family == AF_INET6) {
            const auto* in6 = reinterpret_cast<const sockaddr_in6*>(ai->ai_addr);
            if (!inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof(text))) continue;
            list = &v6;
        } else {
            continue;
        }
        if (std::find(list->begin(), list->end(), text) == list->end()) list->emplace_back(text);
    }
    v4.insert(v4.end(), v6.begin(), v6.end());
    if (v4.size() > static_cast<size_t>(maxCount)) v4.resize(static_cast<size_t>(maxCount));
    return v4;
}

std::string CHostInfoUtil::GetHostNameByUrl(const std::string& url) {
    if (url.empty() || url.find('\0') != std::string::npos) return std::string();
    std::unique_ptr<CURLU, void (*)(CURLU*)> handle(curl_url(), curl_url_cleanup);
    if (!handle) return std::string();
    if (curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) !=
        CURLUE_OK)
        return std::string();
    char* host = nullptr;
    if (curl_url_get(handle.get(), CURLUPART_HOST, &host, 0) != CURLUE_OK || !host) return std::string();
    std::string result(host);
    curl_free(host);
    if (result.size() >= 2 && result.front() == '[' && result.back() == ']')
        result = result.substr(1, result.size() - 2);
    return result;
}

}  // namespace pyn

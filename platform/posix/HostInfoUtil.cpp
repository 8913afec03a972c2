// Host names and addresses: the system resolver and libcurl's URL parser.
#include "pyn/HostInfoUtil.h"

#include "common/AddressResolution.h"
#include "common/TextAndFileHelpers.h"

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
    if (maxCount <= 0 || !detail::IsPathText(domain)) return {};
    return detail::ResolveAddresses(domain, maxCount);
}

std::string CHostInfoUtil::GetHostNameByUrl(const std::string& url) {
    if (!detail::IsPathText(url)) return std::string();
    std::unique_ptr<CURLU, void (*)(CURLU*)> handle(curl_url(), curl_url_cleanup);
    if (!handle) return std::string();
    if (curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) !=
        CURLUE_OK)
        return std::string();
    char* host = nullptr;
    if (curl_url_get(handle.get(), CURLUPART_HOST, &host, 0) != CURLUE_OK || !host) return std::string();
    // Freed on every path: copying it may throw.
    std::unique_ptr<char, void (*)(void*)> owned(host, curl_free);
    std::string result(host);
    if (result.size() >= 2 && result.front() == '[' && result.back() == ']')
        result = result.substr(1, result.size() - 2);
    return result;
}

}  // namespace pyn

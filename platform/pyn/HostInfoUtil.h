// Host and address information of the pyn network layer. Texts are in the
// local code page; all operations are static and thread-safe.
#pragma once

#include <string>
#include <vector>

namespace pyn {

class CHostInfoUtil {
public:
    // The local host's name; "" when it cannot be read.
    static std::string GetLocalHostName();
    // Addresses of `domain` as numeric texts: IPv4 ones first, then IPv6,
    // each once, at most `maxCount` of them; empty when the name does not
    // resolve.
    static std::vector<std::string> GetIpListByDomain(const std::string& domain, int maxCount);
    // The host part of `url` ("http://user@Host:8080/x" gives "Host"; an IPv6
    // literal comes without its brackets). A URL without a scheme is read as
    // one. "" when `url` cannot be parsed or has no host.
    static std::string GetHostNameByUrl(const std::string& url);
};

}  // namespace pyn

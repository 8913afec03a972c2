// Name resolution shared by the platforms: getaddrinfo is the same call on
// both; only the headers differ.
#pragma once

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace pyn {
namespace detail {

struct AddrInfoDeleter {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

// The addresses of `domain` as texts: IPv4 ones first, then IPv6, each once,
// at most `maxCount`. On Windows, Winsock must be started.
inline std::vector<std::string> ResolveAddresses(const std::string& domain, int maxCount) {
    std::vector<std::string> v4, v6;
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
    addrinfo* found = nullptr;
    if (getaddrinfo(domain.c_str(), nullptr, &hints, &found) != 0) return v4;
    std::unique_ptr<addrinfo, AddrInfoDeleter> guard(found);

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

}  // namespace detail
}  // namespace pyn

// Host names and addresses on Winsock. Windows has no URL parser that takes
// every scheme (WinHTTP's knows only http and https), so the host part of a
// URL is cut out here, with the results of the POSIX build's parser for the
// URLs scripts hand in.
#include "pyn/HostInfoUtil.h"

#include "common/AddressResolution.h"
#include "common/TextAndFileHelpers.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

namespace pyn {
namespace {

// Winsock is started once for the process and never shut down: other code
// of the host may use it at any time, up to its exit.
bool WinsockReady() {
    static const bool ready = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

// One part of a numeric IPv4 host as inet_aton reads it: decimal, octal
// with a leading 0, or hexadecimal with 0x.
bool ParseIpv4Part(const std::string& part, uint64_t& value) {
    if (part.empty()) return false;
    int base = 10;
    size_t i = 0;
    if (part.size() > 1 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
        base = 16;
        i = 2;
    } else if (part.size() > 1 && part[0] == '0') {
        base = 8;
        i = 1;
    }
    value = 0;
    for (; i < part.size(); ++i) {
        char c = part[i];
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return false;
        if (digit >= base) return false;
        value = value * base + static_cast<uint64_t>(digit);
        if (value > 0xFFFFFFFFu) return false;
    }
    return true;
}

// "12", "0x7f.1", "127.0.0.1": the dotted-decimal address such a host names;
// false when it is no numeric IPv4 host.
bool NormaliseIpv4(const std::string& host, std::string& out) {
    uint64_t parts[4];
    size_t count = 0, start = 0;
    for (;;) {
        size_t dot = host.find('.', start);
        std::string part = host.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (count == 4 || !ParseIpv4Part(part, parts[count])) return false;
        ++count;
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    // Every part but the last is one byte; the last fills the rest.
    uint64_t address = 0;
    for (size_t i = 0; i + 1 < count; ++i) {
        if (parts[i] > 0xFF) return false;
        address |= parts[i] << (8 * (3 - i));
    }
    uint64_t last = parts[count - 1];
    if (last >= (uint64_t(1) << (8 * (5 - count)))) return false;
    address |= last;
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", unsigned(address >> 24) & 0xFF, unsigned(address >> 16) & 0xFF,
                  unsigned(address >> 8) & 0xFF, unsigned(address) & 0xFF);
    out = text;
    return true;
}

bool IsSchemeText(const std::string& scheme) {
    if (scheme.empty() || !std::isalpha(static_cast<unsigned char>(scheme[0]))) return false;
    return std::all_of(scheme.begin(), scheme.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
    });
}

}  // namespace

std::string CHostInfoUtil::GetLocalHostName() {
    if (!WinsockReady()) return std::string();
    char name[256] = {};
    if (gethostname(name, sizeof(name) - 1) != 0) return std::string();
    return std::string(name);
}

std::vector<std::string> CHostInfoUtil::GetIpListByDomain(const std::string& domain, int maxCount) {
    if (maxCount <= 0 || !detail::IsPathText(domain) || !WinsockReady()) return {};
    return detail::ResolveAddresses(domain, maxCount);
}

std::string CHostInfoUtil::GetHostNameByUrl(const std::string& url) {
    if (!detail::IsPathText(url)) return std::string();
    // scheme://[user[:password]@]host[:port][/path][?query][#fragment]; a URL
    // without "scheme://" starts at the authority.
    size_t start = 0;
    size_t sep = url.find("://");
    if (sep != std::string::npos && IsSchemeText(url.substr(0, sep))) start = sep + 3;
    size_t end = url.find_first_of("/?#", start);
    std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    size_t at = authority.rfind('@');
    if (at != std::string::npos) authority.erase(0, at + 1);

    std::string host, port;
    if (!authority.empty() && authority[0] == '[') {
        size_t close = authority.find(']');
        if (close == std::string::npos) return std::string();
        host = authority.substr(1, close - 1);
        std::string rest = authority.substr(close + 1);
        if (!rest.empty() && rest[0] != ':') return std::string();
        if (!rest.empty()) port = rest.substr(1);
        // Only an IPv6 address stands in brackets (a zone id after '%' too).
        std::string address = host.substr(0, host.find('%'));
        in6_addr parsed;
        if (inet_pton(AF_INET6, address.c_str(), &parsed) != 1) return std::string();
        host = address + (host.size() > address.size() ? host.substr(address.size()) : std::string());
    } else {
        size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        if (colon != std::string::npos) port = authority.substr(colon + 1);
        // Characters no host name holds.
        for (unsigned char c : host)
            if (c <= ' ' || c == 0x7F || std::strchr("<>\\^`{|}\"[]%", c)) return std::string();
        std::string numeric;
        if (NormaliseIpv4(host, numeric)) host = numeric;
    }
    if (host.empty()) return std::string();
    if (!port.empty() && (port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) {
                              return c >= '0' && c <= '9';
                          }) || std::stoul(port) > 65535))
        return std::string();
    return host;
}

}  // namespace pyn

// Addresses of either family: the host addresses lookups give, the socket addresses
// the calls take, and their text forms.

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>

#include <cstring>

#include "platform/sockets/WinSock.h"

namespace portvale::ws {

HostAddress HostAddress::IPv4(std::uint32_t addressNetworkOrder) {
    HostAddress host;
    host.family = AF_INET;
    std::memcpy(host.bytes.data(), &addressNetworkOrder, sizeof addressNetworkOrder);
    return host;
}

HostAddress HostAddress::IPv6(const in6_addr& address, std::uint32_t scopeId) {
    HostAddress host;
    host.family = AF_INET6;
    std::memcpy(host.bytes.data(), &address, sizeof address);
    host.scopeId = scopeId;
    return host;
}

std::uint32_t HostAddress::IPv4Address() const {
    if (family != AF_INET) return 0;
    std::uint32_t address;
    std::memcpy(&address, bytes.data(), sizeof address);
    return address;
}

SocketAddress MakeSocketAddress(const HostAddress& host, std::uint16_t portNetworkOrder) {
    SocketAddress address{};
    if (host.family == AF_INET6) {
        address.v6.sin6_family = AF_INET6;
        address.v6.sin6_port = portNetworkOrder;
        std::memcpy(&address.v6.sin6_addr, host.bytes.data(), sizeof address.v6.sin6_addr);
        address.v6.sin6_scope_id = host.scopeId;
    } else {
        address.v4.sin_family = AF_INET;
        address.v4.sin_port = portNetworkOrder;
        address.v4.sin_addr.s_addr = host.IPv4Address();
    }
    return address;
}

int SocketAddressLength(const SocketAddress& address) {
    return static_cast<int>(address.any.sa_family == AF_INET6 ? sizeof(sockaddr_in6)
                                                              : sizeof(sockaddr_in));
}

std::string AddressText(const SocketAddress& address) {
    char text[INET6_ADDRSTRLEN + IF_NAMESIZE + 1] = {};
    if (address.any.sa_family == AF_INET) {
        ::inet_ntop(AF_INET, &address.v4.sin_addr, text, sizeof text);
        return text;
    }
    if (address.any.sa_family != AF_INET6) return {};
    const in6_addr& v6 = address.v6.sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        // What an IPv4 client of a dual-stack listener looks like: shown as the IPv4
        // address it is, the same text an IPv4-only listener would show.
        ::inet_ntop(AF_INET, &v6.s6_addr[12], text, sizeof text);
        return text;
    }
    ::inet_ntop(AF_INET6, &v6, text, sizeof text);
    std::string result = text;
    if (address.v6.sin6_scope_id != 0) {
        char name[IF_NAMESIZE] = {};
        result += '%';
        result += ::if_indextoname(address.v6.sin6_scope_id, name) != nullptr
                      ? std::string(name)
                      : std::to_string(address.v6.sin6_scope_id);
    }
    return result;
}

std::uint16_t AddressPort(const SocketAddress& address) {
    if (address.any.sa_family == AF_INET6) return ntohs(address.v6.sin6_port);
    if (address.any.sa_family == AF_INET) return ntohs(address.v4.sin_port);
    return 0;
}

std::optional<HostAddress> ParseNumericHost(const std::string& text) {
    in_addr v4{};
    if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) return HostAddress::IPv4(v4.s_addr);
    std::string literal = text;
    if (literal.size() >= 2 && literal.front() == '[' && literal.back() == ']')
        literal = literal.substr(1, literal.size() - 2);
    if (literal.find(':') == std::string::npos) return std::nullopt;
    // getaddrinfo rather than inet_pton so that a zone ("%eth0", "%2") is understood;
    // AI_NUMERICHOST keeps it from ever asking a name server.
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (::getaddrinfo(literal.c_str(), nullptr, &hints, &found) != 0) return std::nullopt;
    std::optional<HostAddress> result;
    if (found != nullptr && found->ai_family == AF_INET6 && found->ai_addr != nullptr) {
        sockaddr_in6 v6{};
        std::memcpy(&v6, found->ai_addr, sizeof v6);
        result = HostAddress::IPv6(v6.sin6_addr, v6.sin6_scope_id);
    }
    ::freeaddrinfo(found);
    return result;
}

}  // namespace portvale::ws

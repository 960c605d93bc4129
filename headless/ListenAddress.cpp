#include "headless/ListenAddress.h"

#include <algorithm>

#include "headless/HostPort.h"
#include "headless/ServiceConfig.h"

namespace portvale::headless {

std::string ResolveListenAddress(const std::string& text, ListenAddress& out) {
    std::string host;
    int port = 0;
    if (!SplitAddressPort(text, host, port) || host.empty())
        return "\"" + text + "\" is not ADDRESS:PORT (an IPv6 address in brackets, a port of 1 to 65535)";
    const std::optional<ws::HostAddress> numeric = ws::ParseNumericHost(host);
    std::vector<ws::HostAddress> found;
    if (text.front() == '[') {
        if (!numeric || numeric->family != AF_INET6) return "\"" + host + "\" is not an IPv6 address";
        found.push_back(*numeric);
    } else if (host.find_first_not_of("0123456789.") == std::string::npos) {
        // All digits and dots is never a name: 999.1.1.1 is a mistyped address, not
        // something to ask a resolver about.
        if (!numeric) return "\"" + host + "\" is not an IPv4 address";
        found.push_back(*numeric);
    } else if (numeric) {
        found.push_back(*numeric);
    } else if (const int error = ws::ResolveHostAddresses(host, &found); error != 0 || found.empty()) {
        return "\"" + host + "\" is no address and does not resolve: " + ws::WSAErrorText(error ? error : 11004);
    }
    out.addresses.clear();
    for (const ws::HostAddress& a : found)
        if (std::find(out.addresses.begin(), out.addresses.end(), a) == out.addresses.end())
            out.addresses.push_back(a);
    out.port = port;
    return {};
}

std::string BoundText(const std::vector<ws::SocketAddress>& bound) {
    std::string text;
    for (const ws::SocketAddress& a : bound) {
        if (!text.empty()) text += " and ";
        text += HostPort(ws::AddressText(a), std::to_string(ws::AddressPort(a)));
    }
    return text;
}

}  // namespace portvale::headless

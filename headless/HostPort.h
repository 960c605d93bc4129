#pragma once
// "host:port" as people write it: an IPv6 address in brackets, so that its colons
// are not taken for the port's.

#include <string>

namespace portvale::headless {

inline std::string HostPort(const std::string& host, const std::string& port) {
    const bool v6 = host.find(':') != std::string::npos && host.front() != '[';
    return (v6 ? "[" + host + "]" : host) + ":" + port;
}

}  // namespace portvale::headless

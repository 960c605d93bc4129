#include "headless/BridgePreflight.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include "app/TlsFilter.h"
#include "headless/ListenAddress.h"
#include "headless/Module.h"
#include "headless/VirtualSerial.h"

namespace portvale::headless {

namespace {

using Kind = PreflightProblem::Kind;

std::optional<PreflightProblem> FileProblem(const std::string& text) { return PreflightProblem{Kind::File, text}; }

std::optional<PreflightProblem> Readable(const char* key, const std::string& path) {
    if (path.empty()) return std::nullopt;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FileProblem(std::string(key) + ": " + path + ": " + std::strerror(errno));
    struct stat st {};
    const bool directory = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    ::close(fd);
    if (directory) return FileProblem(std::string(key) + ": " + path + ": " + std::strerror(EISDIR));
    return std::nullopt;
}

std::optional<PreflightProblem> TlsProblem(const BridgeConfig& b) {
    if (!TlsEnabled(b)) return std::nullopt;
    for (const auto& [key, path] : {std::pair{"tls-cert", &b.tlsCert}, std::pair{"tls-key", &b.tlsKey},
                                    std::pair{"tls-client-ca", &b.tlsClientCa}, std::pair{"tls-ca", &b.tlsCa}})
        if (auto problem = Readable(key, *path)) return problem;
    // The files read; whether they fit together (a key of another certificate, a file
    // that is no certificate) only OpenSSL can tell, by making the context.
    std::string error;
    const auto make = reinterpret_cast<MakeTlsFilterFunction>(ModuleEntry("portvale-tls.so", kMakeTlsFilter, error));
    if (!make) return FileProblem("tls: TLS is not available: " + error);
    std::string host;
    int port = 0;
    if (!b.connect.empty()) SplitAddressPort(b.connect, host, port);
    const TTlsSettings settings{b.connect.empty(), b.tlsCert, b.tlsKey, b.tlsClientCa, b.tlsCa, host, b.tlsMinVersion};
    std::unique_ptr<TTlsFilter> filter(make(settings, error));
    if (!filter) return FileProblem(error);
    return std::nullopt;
}

std::optional<PreflightProblem> CaptureProblem(const BridgeConfig& b) {
    if (!b.capture) return std::nullopt;
    const std::string& path = *b.capture;
    if (path.empty()) return FileProblem("capture: must name a file");
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return FileProblem("capture: " + path + ": " + std::strerror(EISDIR));
        const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return FileProblem("capture: " + path + ": " + std::strerror(errno));
        ::close(fd);
        return std::nullopt;
    }
    // Not there yet: made at the start, so its folder must take a new file.
    std::filesystem::path folder = std::filesystem::absolute(path).parent_path();
    if (::stat(folder.c_str(), &st) != 0)
        return FileProblem("capture: " + path + ": " + std::strerror(errno == ENOENT ? ENOENT : errno));
    if (!S_ISDIR(st.st_mode)) return FileProblem("capture: " + path + ": " + std::strerror(ENOTDIR));
    if (::access(folder.c_str(), W_OK | X_OK) != 0) return FileProblem("capture: " + path + ": " + std::strerror(errno));
    return std::nullopt;
}

std::optional<PreflightProblem> DeviceProblem(const BridgeConfig& b) {
    const auto problem = [](const std::string& text) { return PreflightProblem{Kind::DeviceOrPort, text}; };
    if (b.serial.empty() || b.serial.find('\0') != std::string::npos) return problem("serial: no device named");
    if (!IsVirtualPortName(b.serial)) return std::nullopt;
    if (b.serial.size() <= 4) return problem("serial: \"pty:\" needs the path of the link to make");
    if (!b.ptyGroup.empty() && b.ptyGroup != "dialout" && ::getgrnam(b.ptyGroup.c_str()) == nullptr)
        return problem("pty-group: \"" + b.ptyGroup + "\" is no group on this system");
    return std::nullopt;
}

// Each address bound once, on a descriptor of its own, as the listener will bind it.
std::optional<PreflightProblem> ListenProblem(const BridgeConfig& b, const std::set<int>& freedPorts) {
    if (b.listen.empty()) return std::nullopt;
    ListenAddress where;
    if (const std::string why = ResolveListenAddress(b.listen, where); !why.empty())
        return PreflightProblem{Kind::DeviceOrPort, "listen: " + why};
    if (freedPorts.count(where.port)) return std::nullopt;
    for (const ws::HostAddress& host : where.addresses) {
        const ws::SOCKET s = ws::socket(host.family, SOCK_STREAM, 0);
        if (s == ws::INVALID_SOCKET) continue;  // the listener says why, and tries again
        if (host.family == AF_INET6) {
            const int v6Only = host == ws::HostAddress::IPv6(in6addr_any) ? 0 : 1;
            ws::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, sizeof v6Only);
        }
        const ws::SocketAddress address = ws::MakeSocketAddress(host, htons(static_cast<std::uint16_t>(where.port)));
        const int bound = ws::bind(s, &address.any, ws::SocketAddressLength(address));
        const int error = bound == 0 ? 0 : ws::WSAGetLastError();
        ws::closesocket(s);
        // Where IPv6 is turned off the listener takes "::" for every IPv4 address.
        const bool noIpv6 = error == ws::WSAEADDRNOTAVAIL || error == ws::WSAEAFNOSUPPORT;
        if (bound != 0 && !(noIpv6 && host == ws::HostAddress::IPv6(in6addr_any)))
            return PreflightProblem{Kind::DeviceOrPort, "listen: " + BoundText({address}) + ": " +
                                                            ws::WSAErrorText(error) + " (" + std::to_string(error) +
                                                            ")"};
    }
    return std::nullopt;
}

}  // namespace

std::optional<PreflightProblem> Preflight(const BridgeConfig& bridge, const std::set<int>& freedPorts) {
    if (auto p = TlsProblem(bridge)) return p;
    if (auto p = CaptureProblem(bridge)) return p;
    if (auto p = DeviceProblem(bridge)) return p;
    return ListenProblem(bridge, freedPorts);
}

}  // namespace portvale::headless

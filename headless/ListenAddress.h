#pragma once
// Where a listening bridge binds, from "ADDR:PORT" as the file's `listen` and the
// command line's --listen give it: an address literal is that one address
// ("0.0.0.0" every IPv4 one, "::" every one of both families), a host name each
// address it resolves to. Read once, before anything listens, so that a value that
// is no address is an error of the file rather than a listener on every address.

#include <string>
#include <vector>

#include "platform/sockets/WinSock.h"

namespace portvale::headless {

struct ListenAddress {
    std::vector<ws::HostAddress> addresses;  // at least one once resolved
    int port = 0;
};

// Empty when `text` was read into `out`; else why it is no listen address. A host
// name is resolved here, blocking: a name is read at the start and on a reload.
std::string ResolveListenAddress(const std::string& text, ListenAddress& out);

// "127.0.0.1:4001", "127.0.0.1:4001 and [::1]:4001": what a listener is bound to.
std::string BoundText(const std::vector<ws::SocketAddress>& bound);

}  // namespace portvale::headless

#pragma once
// What a bridge needs from outside before it may start or take a running bridge's
// place: its TLS files readable and fitting together, its capture file writable, its
// device named soundly, its listen addresses free. A reload checks every changed or
// new bridge this way before it stops anything, so a file that parses but cannot be
// applied changes nothing; the start checks every bridge before it opens anything.
//
// Threading: the dispatching thread (it may load the TLS module and resolve names).

#include <optional>
#include <set>
#include <string>

#include "headless/ServiceConfig.h"

namespace portvale::headless {

struct PreflightProblem {
    // A file's problem (exit 2 at the start) or a device's or a port's (exit 1).
    enum class Kind { File, DeviceOrPort } kind;
    // "tls-cert: /etc/portvale/server.pem: No such file or directory"
    std::string text;
};

// `freedPorts`: TCP ports that running bridges hold now but give up before this one
// starts; a listen address on one of them is not tried.
std::optional<PreflightProblem> Preflight(const BridgeConfig& bridge, const std::set<int>& freedPorts = {});

}  // namespace portvale::headless

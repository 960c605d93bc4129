#pragma once
// The HTTP server behind the metrics endpoint, as the module portvale-metrics.so
// offers it. The module is loaded only when an endpoint is asked for: cpp-httplib,
// as Debian builds it, brings the TLS and compression libraries and initialises
// OpenSSL's tables when it is loaded, about 2 MiB of a process at rest that a run
// without metrics should not carry.
//
// The server answers GET (and HEAD) from `page`; anything else is 404. It serves on
// one thread of its own that never waits for a peer, so that no peer can hold up a
// scrape: a request's head has 5 s to come in full (the whole head, however slowly
// it trickles), an answer 5 s to be taken, and of more than 64 connections the
// oldest is dropped. A peer that hangs up mid-answer costs an error return, not the
// process. An address that cannot be bound is said once through `print` and tried
// again every few seconds until it can.

#include <functional>
#include <string>

namespace portvale::headless {

struct HttpEndpointSettings {
    std::string address;  // without brackets: "127.0.0.1", "::1", "0.0.0.0"
    int port = 0;
    // The body and content type for a GET of `path`; false: 404. Called on the
    // server's thread, which answers every peer: it must not wait.
    std::function<bool(const std::string& path, std::string& body, std::string& type)> page;
    // One line for the log ("Metrics on ..."); called on the server's thread.
    std::function<void(const std::string&)> print;
    std::string name;  // what print's lines call the endpoint: "127.0.0.1:9187"
};

// Serving from construction to destruction; the destructor returns once no thread
// of it runs.
class HttpEndpoint {
public:
    virtual ~HttpEndpoint() = default;
};

// The module's one entry point, found by this name.
using StartHttpEndpointFunction = HttpEndpoint* (*)(const HttpEndpointSettings&);
inline constexpr const char* kStartHttpEndpoint = "portvale_start_http_endpoint";

}  // namespace portvale::headless

#pragma once
// Telnet streams with subnegotiations past the decoder's bound, for both sides of
// RFC 2217: what each carries for the device once the overlong parts are dropped
// whole, and how many of them there are.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "app/Rfc2217.h"
#include "tests/app/TelnetBytes.h"

namespace portvale::test {

struct OverlongCase {
    const char* name;
    std::string wire;
    std::string data;   // what reaches the device
    bool dropped;       // a subnegotiation is dropped (one log line)
};

// A payload past the bound: up to it only what a subnegotiation may hold (escaped
// 0xFF, one before an SE byte), past it what would be taken for data or commands if
// anything but its IAC SE ended it: a negotiation that would be answered, a NOP, a
// subnegotiation's start.
inline std::string OverlongBody() {
    using namespace rfc2217;
    std::string body = B({1, 0, 0, 0x25, 0x80});
    for (std::size_t payload = 5; payload <= kMaxSubnegotiation + 8; payload += 4) body += B({'x', IAC, IAC, SE, 'y'});
    for (int i = 0; i < 4; ++i) body += B({'z', IAC, DO, 3, IAC, 241, IAC, SB, 44, 2, 7, IAC, IAC, SE});
    return body;
}

inline std::vector<OverlongCase> OverlongCases() {
    using namespace rfc2217;
    const std::string body = OverlongBody();
    return {
        {"overlong then data", "pre" + B({IAC, SB, 44}) + body + B({IAC, SE}) + "post" + B({IAC, IAC, '!'}),
         "prepost" + B({0xFF, '!'}), true},
        {"overlong of another option", "pre" + B({IAC, SB, 3}) + body + B({IAC, SE}) + "post", "prepost", true},
        {"overlong ending in an escaped 0xFF", "pre" + B({IAC, SB, 44}) + body + B({IAC, IAC, IAC, SE}) + "post",
         "prepost", true},
        {"two overlong ones", B({IAC, SB, 44}) + body + B({IAC, SE, 'a', IAC, SB, 44}) + body + B({IAC, SE, 'b'}),
         "ab", true},
        {"unterminated", "pre" + B({IAC, SB, 44}) + body + "never data" + B({IAC, IAC}), "pre", true},
        {"IAC IAC in data", B({'a', IAC, IAC, 'b', IAC, IAC, IAC, IAC}), B({'a', 0xFF, 'b', 0xFF, 0xFF}), false},
    };
}

// Calls `feed` with the wire in pieces: whole, cut in two at every place, and in
// three around each byte.
template <class Feed>
void ForEachCut(std::string_view wire, Feed feed) {
    feed(std::vector<std::string_view>{wire});
    for (std::size_t cut = 0; cut <= wire.size(); ++cut) {
        feed(std::vector<std::string_view>{wire.substr(0, cut), wire.substr(cut)});
        if (cut < wire.size()) feed(std::vector<std::string_view>{wire.substr(0, cut), wire.substr(cut, 1), wire.substr(cut + 1)});
    }
}

}  // namespace portvale::test

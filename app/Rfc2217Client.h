#pragma once
// The client's side of RFC 2217 on a connecting bridge: a layer of the filter stack that
// negotiates BINARY and COM-PORT-OPTION with the access server, passes the data
// byte-exact (0xFF doubled on the wire), sends the line settings the device should
// have once the server takes commands, again on every new connection, and each
// change as it is asked for, then reads the server's answers. Modem states the
// server reports go to a link (a virtual device cannot carry them further); a
// FLOWCONTROL-SUSPEND holds the device's data until the RESUME.
//
// No socket, device or dispatcher is touched: connections are only keys, so any
// byte sequence can be fed to it (tests, fuzzing).

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "app/Filter.h"
#include "app/Rfc2217.h"
#include "platform/serial/VirtualDevice.h"

namespace portvale {

namespace rfc2217 {

// A line as the COM-PORT-OPTION states it (values of SET-PARITY, SET-STOPSIZE and
// SET-CONTROL's outbound flow).
struct LineSettings {
    std::uint32_t baud = 9600;
    std::uint8_t dataSize = 8;
    std::uint8_t parity = kParityNone;
    std::uint8_t stopSize = kStopOne;
    std::uint8_t flow = kControlFlowNone;

    bool operator==(const LineSettings&) const = default;
};

// The requests that take a server from `from` to `to`: only what differs, or
// everything without `from`.
std::string LineCommands(const std::optional<LineSettings>& from, const LineSettings& to);

// "115200 8E1" with ", hardware flow" or ", XON/XOFF flow" when there is flow control.
std::string LineText(const LineSettings& line);

}  // namespace rfc2217

// What a program asked of a virtual device, completed from the bridge's own line
// where a pty keeps nothing: the data size always, and parity when the program's
// flags leave only "none or even" (the bridge's choice if it is one of those, else
// none). Before the program asked anything, the bridge's line as it is.
rfc2217::LineSettings RemoteLineFor(const std::optional<PtyLineSettings>& asked, const rfc2217::LineSettings& bridge);

class TRfc2217Client : public TFilter {
public:
    explicit TRfc2217Client(rfc2217::LineSettings line);

    void Opened(TConnectionId id) override;
    void Closed(TConnectionId id) override;
    std::string FromNetwork(TConnectionId id, const std::string& bytes) override;
    std::string FromDevice(TConnectionId id, const std::string& bytes) override;

    // The line the device should have; sent at once where the server takes commands.
    void SetLine(const rfc2217::LineSettings& line);
    const rfc2217::LineSettings& Line() const { return line_; }

private:
    struct Session {
        rfc2217::Decoder decoder;
        rfc2217::Negotiator negotiator;
        std::optional<rfc2217::LineSettings> sent;
        // Values asked and not answered yet, per command, oldest first.
        std::map<rfc2217::Command, std::deque<std::uint32_t>> asked;
        bool suspended = false;
        bool loggedMalformed = false;
    };
    void SendLine(TConnectionId id, Session& session);
    void Answered(Session& session, const rfc2217::Request& answer);
    void Suspend(Session& session, bool suspend);

    rfc2217::LineSettings line_;
    std::map<TConnectionId, Session> sessions_;
};

}  // namespace portvale

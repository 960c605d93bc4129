#pragma once
// The client's side of RFC 2217 on a connecting bridge: a bridge filter that
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

#include "app/BridgeFilter.h"
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

class TRfc2217Client : public TBridgeFilter {
public:
    struct Links {
        // Bytes for the connection, behind what it already has queued.
        std::function<void(TCustomWinSocket*, std::string)> send;
        // The server asked us to stop (true) or go on (false) sending the device's data.
        std::function<void(bool)> holdSerial;
        // One line for the log: answers other than asked, skipped subnegotiations.
        std::function<void(const std::string&)> log;
        // A NOTIFY-MODEMSTATE's byte.
        std::function<void(std::uint8_t)> modemState;
    };

    TRfc2217Client(rfc2217::LineSettings line, Links links);

    void Connected(TCustomWinSocket* socket) override;
    void Disconnected(TCustomWinSocket* socket) override;
    std::string FromTcp(TCustomWinSocket* socket, const std::string& bytes) override;
    std::string ToTcp(TCustomWinSocket* socket, const std::string& bytes) override;

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
    void SendLine(TCustomWinSocket* socket, Session& session);
    void Answered(Session& session, const rfc2217::Request& answer);
    void Suspend(Session& session, bool suspend);

    rfc2217::LineSettings line_;
    Links links_;
    std::map<TCustomWinSocket*, Session> sessions_;
};

}  // namespace portvale

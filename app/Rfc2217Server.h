#pragma once
// The access server's side of RFC 2217 on the bridge's TCP connections: a layer of
// the filter stack that negotiates the telnet options on each connection, passes its data
// byte-exact, applies the client's COM-PORT-OPTION commands to the serial port
// through the component's own properties and methods, answers each with the value
// the port holds afterwards, and reports modem and line state changes, filtered by
// the client's masks. The telnet work itself is in app/Rfc2217.h.

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "app/Filter.h"
#include "app/Rfc2217.h"
#include "comport/ComPort.h"

namespace portvale {

class TRfc2217Server : public TFilter {
public:
    // The text of the server's SIGNATURE.
    static constexpr char kSignature[] = "Portvale " PORTVALE_VERSION;

    // Takes the port's modem and line events while it lives.
    explicit TRfc2217Server(TCustomComPort& port);
    ~TRfc2217Server() override;

    void Opened(TConnectionId id) override;
    void Closed(TConnectionId id) override;
    std::string FromNetwork(TConnectionId id, const std::string& bytes) override;
    std::string FromDevice(TConnectionId id, const std::string& bytes) override;

    // The modem-state byte: lines in the high nibble (from the port), changes since
    // the last report in the low one.
    std::uint8_t ModemState();

private:
    struct Session {
        rfc2217::Decoder decoder;
        rfc2217::Negotiator negotiator;
        std::uint8_t lineMask = 0;
        std::uint8_t modemMask = 0xFF;  // the RFC's default: every modem line
        bool suspended = false;
        bool loggedMalformed = false;
        bool announced = false;  // the first modem state was sent
    };
    Session& SessionOf(TConnectionId id);
    void Handle(TConnectionId id, Session& session, const rfc2217::Request& request);
    void Answer(TConnectionId id, rfc2217::Command command, std::uint32_t value);
    // The command's answer: what the port holds after applying it.
    std::uint32_t Apply(const rfc2217::Request& request);
    std::uint32_t ApplyControl(std::uint32_t value);
    void Refused(const rfc2217::Request& request, const std::string& why);
    void NotifyModem();
    void NotifyLine(std::uint8_t bits);
    void UpdateHold();

    TCustomComPort& port_;
    std::map<TConnectionId, Session> sessions_;
    std::uint8_t lastModem_ = 0;
    std::uint8_t modemDeltas_ = 0;
    bool break_ = false;
};

}  // namespace portvale

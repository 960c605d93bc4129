#pragma once
// Telnet with the COM-PORT-OPTION (RFC 854, 855, 856, 2217), both sides: a decoder
// for the bytes the peer sends, the encoders for requests and answers, and the
// option negotiation. A pure unit: no socket, no device, no
// dispatcher, so any byte sequence can be fed to it (tests, fuzzing).
//
// The data stream is never translated: with BINARY in effect both ways every byte
// value passes, 0xFF doubled on the wire, CR NUL kept as the two bytes it is.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace portvale::rfc2217 {

// Telnet commands (RFC 854).
inline constexpr std::uint8_t IAC = 255;
inline constexpr std::uint8_t DONT = 254;
inline constexpr std::uint8_t DO = 253;
inline constexpr std::uint8_t WONT = 252;
inline constexpr std::uint8_t WILL = 251;
inline constexpr std::uint8_t SB = 250;
inline constexpr std::uint8_t SE = 240;

// Options.
inline constexpr std::uint8_t kOptionBinary = 0;      // RFC 856
inline constexpr std::uint8_t kOptionComPort = 44;    // RFC 2217

// The longest subnegotiation payload (option byte excluded) taken; a longer one is
// dropped whole, up to its IAC SE. A signature text is the longest legal payload and
// fits easily.
inline constexpr std::size_t kMaxSubnegotiation = 256;

// COM-PORT-OPTION commands as the client sends them; the server answers each with
// the same code plus kServerOffset.
enum class Command : std::uint8_t {
    Signature = 0,
    SetBaudRate = 1,
    SetDataSize = 2,
    SetParity = 3,
    SetStopSize = 4,
    SetControl = 5,
    NotifyLineState = 6,
    NotifyModemState = 7,
    FlowControlSuspend = 8,
    FlowControlResume = 9,
    SetLineStateMask = 10,
    SetModemStateMask = 11,
    PurgeData = 12,
};
inline constexpr std::uint8_t kServerOffset = 100;
inline constexpr std::uint8_t kLastCommand = 12;

// SET-PARITY values.
inline constexpr std::uint8_t kParityRequest = 0, kParityNone = 1, kParityOdd = 2, kParityEven = 3,
                              kParityMark = 4, kParitySpace = 5;
// SET-STOPSIZE values.
inline constexpr std::uint8_t kStopRequest = 0, kStopOne = 1, kStopTwo = 2, kStopOneHalf = 3;
// SET-CONTROL values.
inline constexpr std::uint8_t kControlFlowRequest = 0, kControlFlowNone = 1, kControlFlowXonXoff = 2,
                              kControlFlowHardware = 3, kControlBreakRequest = 4, kControlBreakOn = 5,
                              kControlBreakOff = 6, kControlDtrRequest = 7, kControlDtrOn = 8,
                              kControlDtrOff = 9, kControlRtsRequest = 10, kControlRtsOn = 11,
                              kControlRtsOff = 12, kControlInFlowRequest = 13, kControlInFlowNone = 14,
                              kControlInFlowXonXoff = 15, kControlInFlowHardware = 16,
                              kControlFlowDcd = 17, kControlInFlowDtr = 18, kControlFlowDsr = 19;
// Line-state bits (NOTIFY-LINESTATE).
inline constexpr std::uint8_t kLineTimeout = 0x80, kLineTransmitShiftEmpty = 0x40,
                              kLineTransmitHoldEmpty = 0x20, kLineBreak = 0x10, kLineFraming = 0x08,
                              kLineParity = 0x04, kLineOverrun = 0x02, kLineDataReady = 0x01;
// Modem-state bits (NOTIFY-MODEMSTATE): the levels in the high nibble, the changes
// since the last report in the low one.
inline constexpr std::uint8_t kModemCd = 0x80, kModemRi = 0x40, kModemDsr = 0x20, kModemCts = 0x10,
                              kModemDeltaCd = 0x08, kModemTrailingRi = 0x04, kModemDeltaDsr = 0x02,
                              kModemDeltaCts = 0x01;
// PURGE-DATA values.
inline constexpr std::uint8_t kPurgeReceive = 1, kPurgeTransmit = 2, kPurgeBoth = 3;

// One thing found in the client's bytes.
struct Event {
    enum class Kind {
        Data,            // bytes for the device, IAC IAC already made one 0xFF
        Negotiation,     // IAC verb option
        Subnegotiation,  // IAC SB option payload IAC SE; bytes = payload, unescaped
        Malformed,       // a subnegotiation skipped; bytes = the reason
    };
    Kind kind = Kind::Data;
    std::uint8_t verb = 0;    // WILL, WONT, DO or DONT
    std::uint8_t option = 0;  // negotiation and subnegotiation
    std::string bytes;

    bool operator==(const Event&) const = default;
};

// Splits the client's byte stream into events. Blocks may be cut anywhere: the
// state carries over from one Feed to the next. Every input makes progress: a
// subnegotiation cut short by another command is reported and that command taken;
// stray commands (NOP, GA, SE outside a subnegotiation...) are ignored.
//
// A subnegotiation past kMaxSubnegotiation is reported once, when it passes the
// bound, and then skipped without being kept, up to the IAC SE that ends it (an IAC
// IAC inside is an escaped 0xFF, never half of that end). Nothing else ends it: a
// peer that sends that much has lost its framing or is hostile, and taking an IAC and
// a command inside as the end would let the rest of it through as data for the
// device. One that never ends swallows the rest of the connection.
class Decoder {
public:
    // Appends the events of `bytes` to `out`; consecutive data bytes form one event.
    void Feed(std::string_view bytes, std::vector<Event>& out);

private:
    enum class State { Data, Iac, Verb, SbOption, SbData, SbIac, SbSkip, SbSkipIac };
    void TakeCommand(std::uint8_t byte, std::string& data, std::vector<Event>& out);
    void SkipLong(std::string& data, std::vector<Event>& out);
    static void FlushData(std::string& data, std::vector<Event>& out);

    State state_ = State::Data;
    std::uint8_t verb_ = 0;
    std::uint8_t option_ = 0;
    std::string payload_;
};

// A COM-PORT-OPTION request from the client, checked for its length.
struct Request {
    Command command = Command::Signature;
    std::uint32_t value = 0;  // the baud rate, or the one value byte
    std::string text;         // SIGNATURE's text
    bool asks = false;        // a NOTIFY without a value: the client asks for the state

    bool operator==(const Request&) const = default;
};

// The request in a COM-PORT-OPTION payload (the bytes after the option), or the
// reason it is not one: empty, an unknown command, or a value of the wrong length.
struct ParsedRequest {
    std::optional<Request> request;
    std::string error;
};
ParsedRequest ParseRequest(std::string_view payload);
// The same for a server's answer (code kServerOffset and up), given as the command
// it answers.
ParsedRequest ParseAnswer(std::string_view payload);

// ---- what the server sends ----

// Data bytes for the wire: each 0xFF doubled.
std::string EscapeData(std::string_view bytes);
// IAC verb option.
std::string Negotiation(std::uint8_t verb, std::uint8_t option);
// IAC SB option payload IAC SE, 0xFF in the payload doubled.
std::string Subnegotiation(std::uint8_t option, std::string_view payload);
// The server's answer to `command` (code + kServerOffset): SET-BAUDRATE's value as
// four bytes in network order, every other one as one byte.
std::string Reply(Command command, std::uint32_t value);
// The server's SIGNATURE text.
std::string SignatureReply(std::string_view text);
// A client's request: SET-BAUDRATE's value as four bytes in network order, every
// other one as one byte.
std::string ClientRequest(Command command, std::uint32_t value);

// ---- option negotiation (RFC 854, with the loop rules of RFC 1143) ----

// Either side enables BINARY and COM-PORT-OPTION in both directions and refuses
// every other option: WILL x is answered DONT x, DO x is answered WONT x. A request
// for a state already in effect is not answered, so two parties never loop.
class Negotiator {
public:
    // The opening offers: WILL and DO for BINARY and COM-PORT-OPTION.
    std::string Start();
    // The answer to the client's IAC verb option; empty when none is due.
    std::string Receive(std::uint8_t verb, std::uint8_t option);

    // Whether the client may send commands (it WILL COM-PORT-OPTION, we DO).
    bool ComPortActive() const { return Him(kOptionComPort) == Q::Yes; }
    // Whether the server takes our commands (we WILL COM-PORT-OPTION, it DOes).
    bool ComPortAccepted() const { return Us(kOptionComPort) == Q::Yes; }
    bool BinaryToServer() const { return Him(kOptionBinary) == Q::Yes; }
    bool BinaryToClient() const { return Us(kOptionBinary) == Q::Yes; }

private:
    enum class Q : std::uint8_t { No, Yes, WantYes };
    static bool Supported(std::uint8_t option) { return option == kOptionBinary || option == kOptionComPort; }
    static int Index(std::uint8_t option) { return option == kOptionBinary ? 0 : 1; }
    Q Him(std::uint8_t option) const { return him_[Index(option)]; }
    Q Us(std::uint8_t option) const { return us_[Index(option)]; }

    Q him_[2] = {Q::No, Q::No};
    Q us_[2] = {Q::No, Q::No};
};

}  // namespace portvale::rfc2217

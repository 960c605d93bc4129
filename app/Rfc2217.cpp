#include "app/Rfc2217.h"

#include <cstring>

namespace portvale::rfc2217 {

namespace {

char Byte(std::uint32_t value) { return static_cast<char>(static_cast<std::uint8_t>(value)); }

// The value length a request must carry; -1 for any (SIGNATURE), -2 for none or
// one (a NOTIFY from a client: a question for the current state, or an answer).
int ValueLength(Command command) {
    switch (command) {
        case Command::Signature: return -1;
        case Command::NotifyLineState:
        case Command::NotifyModemState: return -2;
        case Command::SetBaudRate: return 4;
        case Command::FlowControlSuspend:
        case Command::FlowControlResume: return 0;
        default: return 1;
    }
}

}  // namespace

// ---- Decoder ----

void Decoder::FlushData(std::string& data, std::vector<Event>& out) {
    if (data.empty()) return;
    out.push_back(Event{Event::Kind::Data, 0, 0, std::move(data)});
    data.clear();
}

// A subnegotiation past kMaxSubnegotiation: reported now, the rest of it skipped.
void Decoder::SkipLong(std::string& data, std::vector<Event>& out) {
    FlushData(data, out);
    out.push_back(Event{Event::Kind::Malformed, 0, option_,
                        "subnegotiation of option " + std::to_string(option_) + " longer than " +
                            std::to_string(kMaxSubnegotiation) + " bytes dropped up to its IAC SE"});
    std::string().swap(payload_);
    state_ = State::SbSkip;
}

// The byte after an IAC outside a subnegotiation.
void Decoder::TakeCommand(std::uint8_t byte, std::string& data, std::vector<Event>& out) {
    switch (byte) {
        case IAC:
            data.push_back(Byte(IAC));
            state_ = State::Data;
            break;
        case WILL:
        case WONT:
        case DO:
        case DONT:
            verb_ = byte;
            state_ = State::Verb;
            break;
        case SB:
            state_ = State::SbOption;
            break;
        default:  // NOP, GA, AYT, a stray SE...: nothing for the bridge
            state_ = State::Data;
            break;
    }
}

void Decoder::Feed(std::string_view bytes, std::vector<Event>& out) {
    std::string data;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto byte = static_cast<std::uint8_t>(bytes[i]);
        switch (state_) {
            case State::Data: {
                // Runs of plain data are copied at once.
                std::size_t end = i;
                while (end < bytes.size() && static_cast<std::uint8_t>(bytes[end]) != IAC) ++end;
                data.append(bytes.data() + i, end - i);
                if (end < bytes.size()) state_ = State::Iac;
                i = end + 1;
                continue;
            }
            case State::Iac:
                TakeCommand(byte, data, out);
                break;
            case State::Verb:
                FlushData(data, out);
                out.push_back(Event{Event::Kind::Negotiation, verb_, byte, {}});
                state_ = State::Data;
                break;
            case State::SbOption:
                payload_.clear();
                if (byte == IAC) {
                    // IAC SB IAC: no option; the IAC starts the next command.
                    FlushData(data, out);
                    out.push_back(Event{Event::Kind::Malformed, 0, 0, "subnegotiation without an option"});
                    state_ = State::Iac;
                } else {
                    option_ = byte;
                    state_ = State::SbData;
                }
                break;
            case State::SbData:
                if (byte == IAC) {
                    state_ = State::SbIac;
                } else if (payload_.size() >= kMaxSubnegotiation) {
                    SkipLong(data, out);
                } else {
                    payload_.push_back(static_cast<char>(byte));
                }
                break;
            case State::SbIac:
                if (byte == SE) {
                    FlushData(data, out);
                    out.push_back(Event{Event::Kind::Subnegotiation, 0, option_, std::move(payload_)});
                    payload_.clear();
                    state_ = State::Data;
                } else if (byte == IAC && payload_.size() < kMaxSubnegotiation) {
                    payload_.push_back(Byte(IAC));
                    state_ = State::SbData;
                } else if (byte == IAC) {
                    SkipLong(data, out);  // the escaped 0xFF goes with the rest
                } else {
                    // IAC and another command inside: the subnegotiation was cut short.
                    FlushData(data, out);
                    out.push_back(Event{Event::Kind::Malformed, 0, option_,
                                        "subnegotiation of option " + std::to_string(option_) +
                                            " cut short without IAC SE"});
                    payload_.clear();
                    TakeCommand(byte, data, out);
                }
                break;
            case State::SbSkip: {
                // Skipped a run at a time, up to the next IAC.
                const void* at = std::memchr(bytes.data() + i, IAC, bytes.size() - i);
                if (!at) return FlushData(data, out);
                state_ = State::SbSkipIac;
                i = static_cast<std::size_t>(static_cast<const char*>(at) - bytes.data()) + 1;
                continue;
            }
            case State::SbSkipIac:
                // IAC SE ends it; IAC IAC is an escaped 0xFF, and an IAC before any other
                // byte is part of what is skipped.
                state_ = byte == SE ? State::Data : State::SbSkip;
                break;
        }
        ++i;
    }
    FlushData(data, out);
}

// ---- requests ----

ParsedRequest ParseRequest(std::string_view payload) {
    ParsedRequest result;
    if (payload.empty()) {
        result.error = "empty COM-PORT-OPTION subnegotiation";
        return result;
    }
    const auto code = static_cast<std::uint8_t>(payload[0]);
    if (code > kLastCommand) {
        result.error = "unknown COM-PORT-OPTION command " + std::to_string(code);
        return result;
    }
    Request request;
    request.command = static_cast<Command>(code);
    const std::string_view value = payload.substr(1);
    const int length = ValueLength(request.command);
    if ((length >= 0 && value.size() != static_cast<std::size_t>(length)) || (length == -2 && value.size() > 1)) {
        result.error = "COM-PORT-OPTION command " + std::to_string(code) + " with " +
                       std::to_string(value.size()) + " value bytes instead of " + std::to_string(length);
        return result;
    }
    if (request.command == Command::Signature)
        request.text = std::string(value);
    else if (length == -2 && value.empty())
        request.asks = true;
    else
        for (const char c : value) request.value = (request.value << 8) | static_cast<std::uint8_t>(c);
    result.request = std::move(request);
    return result;
}

ParsedRequest ParseAnswer(std::string_view payload) {
    if (payload.empty() || static_cast<std::uint8_t>(payload[0]) < kServerOffset) {
        ParsedRequest result;
        result.error = payload.empty() ? "empty COM-PORT-OPTION answer"
                                       : "COM-PORT-OPTION answer with the client's code " +
                                             std::to_string(static_cast<std::uint8_t>(payload[0]));
        return result;
    }
    std::string request(payload);
    request[0] = Byte(static_cast<std::uint8_t>(request[0]) - kServerOffset);
    return ParseRequest(request);
}

// ---- encoders ----

std::string EscapeData(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 64);
    std::size_t start = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (static_cast<std::uint8_t>(bytes[i]) != IAC) continue;
        out.append(bytes.data() + start, i + 1 - start);
        out.push_back(Byte(IAC));
        start = i + 1;
    }
    out.append(bytes.data() + start, bytes.size() - start);
    return out;
}

std::string Negotiation(std::uint8_t verb, std::uint8_t option) {
    return {Byte(IAC), Byte(verb), Byte(option)};
}

std::string Subnegotiation(std::uint8_t option, std::string_view payload) {
    std::string out{Byte(IAC), Byte(SB), Byte(option)};
    if (option == IAC) out.push_back(Byte(IAC));
    out += EscapeData(payload);
    out += Byte(IAC);
    out += Byte(SE);
    return out;
}

namespace {

std::string CommandPayload(std::uint8_t code, Command command, std::uint32_t value) {
    std::string payload{Byte(code)};
    if (command == Command::SetBaudRate) {
        payload += {Byte(value >> 24), Byte(value >> 16), Byte(value >> 8), Byte(value)};
    } else if (ValueLength(command) == 1 || ValueLength(command) == -2) {
        payload += Byte(value);
    }
    return Subnegotiation(kOptionComPort, payload);
}

}  // namespace

std::string Reply(Command command, std::uint32_t value) {
    return CommandPayload(static_cast<std::uint8_t>(command) + kServerOffset, command, value);
}

std::string ClientRequest(Command command, std::uint32_t value) {
    return CommandPayload(static_cast<std::uint8_t>(command), command, value);
}

std::string SignatureReply(std::string_view text) {
    std::string payload{Byte(static_cast<std::uint8_t>(Command::Signature) + kServerOffset)};
    payload += text;
    return Subnegotiation(kOptionComPort, payload);
}

// ---- negotiation ----

std::string Negotiator::Start() {
    std::string out;
    for (const std::uint8_t option : {kOptionBinary, kOptionComPort}) {
        us_[Index(option)] = Q::WantYes;
        him_[Index(option)] = Q::WantYes;
        out += Negotiation(WILL, option);
        out += Negotiation(DO, option);
    }
    return out;
}

std::string Negotiator::Receive(std::uint8_t verb, std::uint8_t option) {
    const bool enable = verb == WILL || verb == DO;
    const bool theirs = verb == WILL || verb == WONT;  // about the client's side
    if (verb != WILL && verb != WONT && verb != DO && verb != DONT) return {};
    if (!Supported(option)) {
        // Refused; an option that is off needs no answer to being turned off.
        if (!enable) return {};
        return Negotiation(theirs ? DONT : WONT, option);
    }
    Q& q = theirs ? him_[Index(option)] : us_[Index(option)];
    const std::uint8_t yes = theirs ? DO : WILL;
    const std::uint8_t no = theirs ? DONT : WONT;
    if (enable) {
        if (q == Q::No) {
            q = Q::Yes;
            return Negotiation(yes, option);
        }
        q = Q::Yes;  // our own request granted, or already on
        return {};
    }
    if (q == Q::Yes) {
        q = Q::No;
        return Negotiation(no, option);
    }
    q = Q::No;  // our request refused, or already off
    return {};
}

}  // namespace portvale::rfc2217

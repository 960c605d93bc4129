#include "app/Rfc2217Client.h"

#include <vector>

namespace portvale {

namespace rfc2217 {

namespace {

using Step = std::pair<Command, std::uint32_t>;

std::vector<Step> LineSteps(const std::optional<LineSettings>& from, const LineSettings& to) {
    std::vector<Step> steps;
    const auto add = [&](Command command, std::uint32_t now, std::uint32_t before) {
        if (!from || now != before) steps.emplace_back(command, now);
    };
    const LineSettings was = from.value_or(LineSettings{});
    add(Command::SetBaudRate, to.baud, was.baud);
    add(Command::SetDataSize, to.dataSize, was.dataSize);
    add(Command::SetParity, to.parity, was.parity);
    add(Command::SetStopSize, to.stopSize, was.stopSize);
    add(Command::SetControl, to.flow, was.flow);
    return steps;
}

const char* CommandName(Command command) {
    switch (command) {
        case Command::SetBaudRate: return "SET-BAUDRATE";
        case Command::SetDataSize: return "SET-DATASIZE";
        case Command::SetParity: return "SET-PARITY";
        case Command::SetStopSize: return "SET-STOPSIZE";
        case Command::SetControl: return "SET-CONTROL";
        default: return "COM-PORT-OPTION";
    }
}

}  // namespace

std::string LineCommands(const std::optional<LineSettings>& from, const LineSettings& to) {
    std::string out;
    for (const auto& [command, value] : LineSteps(from, to)) out += ClientRequest(command, value);
    return out;
}

std::string LineText(const LineSettings& line) {
    static constexpr char kParity[] = "?NOEMS";
    static constexpr const char* kStop[] = {"?", "1", "2", "1.5"};
    std::string text = std::to_string(line.baud) + " " + std::to_string(line.dataSize) +
                       kParity[line.parity < 6 ? line.parity : 0] + kStop[line.stopSize < 4 ? line.stopSize : 0];
    if (line.flow == kControlFlowHardware) text += ", hardware flow";
    if (line.flow == kControlFlowXonXoff) text += ", XON/XOFF flow";
    return text;
}

}  // namespace rfc2217

using namespace rfc2217;

rfc2217::LineSettings RemoteLineFor(const std::optional<PtyLineSettings>& asked, const rfc2217::LineSettings& bridge) {
    if (!asked) return bridge;
    LineSettings line = bridge;
    if (asked->baud != 0) line.baud = asked->baud;
    switch (asked->parity) {
        case PtyLineSettings::Parity::Odd: line.parity = kParityOdd; break;
        case PtyLineSettings::Parity::Mark: line.parity = kParityMark; break;
        case PtyLineSettings::Parity::Space: line.parity = kParitySpace; break;
        case PtyLineSettings::Parity::Unstated:
            line.parity = bridge.parity == kParityEven ? kParityEven : kParityNone;
            break;
    }
    line.stopSize = asked->twoStopBits ? kStopTwo : kStopOne;
    switch (asked->flow) {
        case PtyLineSettings::Flow::None: line.flow = kControlFlowNone; break;
        case PtyLineSettings::Flow::XonXoff: line.flow = kControlFlowXonXoff; break;
        case PtyLineSettings::Flow::Hardware: line.flow = kControlFlowHardware; break;
    }
    return line;
}

TRfc2217Client::TRfc2217Client(rfc2217::LineSettings line) : line_(line) {}

void TRfc2217Client::Opened(TConnectionId id) {
    Session& session = sessions_[id] = Session{};
    Site().ToNetwork(id, session.negotiator.Start());
}

void TRfc2217Client::Closed(TConnectionId id) {
    const auto it = sessions_.find(id);
    if (it == sessions_.end()) return;
    // A suspension ends with the connection that asked for it.
    Suspend(it->second, false);
    sessions_.erase(it);
}

std::string TRfc2217Client::FromDevice(TConnectionId, const std::string& bytes) { return EscapeData(bytes); }

std::string TRfc2217Client::FromNetwork(TConnectionId id, const std::string& bytes) {
    const auto it = sessions_.find(id);
    if (it == sessions_.end()) return {};
    Session& session = it->second;
    std::vector<Event> events;
    session.decoder.Feed(bytes, events);
    std::string data;
    for (const Event& event : events) {
        switch (event.kind) {
            case Event::Kind::Data:
                data += event.bytes;
                break;
            case Event::Kind::Negotiation: {
                const bool wasAccepted = session.negotiator.ComPortAccepted();
                if (std::string answer = session.negotiator.Receive(event.verb, event.option); !answer.empty())
                    Site().ToNetwork(id, std::move(answer));
                if (!wasAccepted && session.negotiator.ComPortAccepted()) SendLine(id, session);
                break;
            }
            case Event::Kind::Subnegotiation: {
                if (event.option != kOptionComPort) break;
                const ParsedRequest parsed = ParseAnswer(event.bytes);
                if (parsed.request) {
                    Answered(session, *parsed.request);
                } else if (!session.loggedMalformed) {
                    session.loggedMalformed = true;
                    Site().Log("RFC 2217: " + parsed.error);
                }
                break;
            }
            case Event::Kind::Malformed:
                if (!session.loggedMalformed) {
                    session.loggedMalformed = true;
                    Site().Log("RFC 2217: " + event.bytes);
                }
                break;
        }
    }
    return data;
}

void TRfc2217Client::SetLine(const rfc2217::LineSettings& line) {
    line_ = line;
    for (auto& [id, session] : sessions_)
        if (session.negotiator.ComPortAccepted()) SendLine(id, session);
}

void TRfc2217Client::SendLine(TConnectionId id, Session& session) {
    std::string out;
    for (const auto& [command, value] : LineSteps(session.sent, line_)) {
        out += ClientRequest(command, value);
        auto& pending = session.asked[command];
        // A server that never answers must not make this grow without bound.
        if (pending.size() >= 64) pending.pop_front();
        pending.push_back(value);
    }
    session.sent = line_;
    if (!out.empty()) Site().ToNetwork(id, std::move(out));
}

void TRfc2217Client::Answered(Session& session, const rfc2217::Request& answer) {
    switch (answer.command) {
        case Command::NotifyModemState:
            if (!answer.asks) Site().ModemState(static_cast<std::uint8_t>(answer.value));
            return;
        case Command::FlowControlSuspend: return Suspend(session, true);
        case Command::FlowControlResume: return Suspend(session, false);
        case Command::SetBaudRate:
        case Command::SetDataSize:
        case Command::SetParity:
        case Command::SetStopSize:
        case Command::SetControl: break;
        default: return;  // signature, line state, masks, purge: nothing to do with them
    }
    auto& pending = session.asked[answer.command];
    if (pending.empty()) return;  // an answer nobody asked for
    const std::uint32_t askedFor = pending.front();
    pending.pop_front();
    if (answer.value != askedFor)
        Site().Log(std::string("RFC 2217 server answered ") + CommandName(answer.command) + " " +
                   std::to_string(askedFor) + " with " + std::to_string(answer.value));
}

void TRfc2217Client::Suspend(Session& session, bool suspend) {
    if (session.suspended == suspend) return;
    session.suspended = suspend;
    Site().HoldSerial(suspend);
}

}  // namespace portvale

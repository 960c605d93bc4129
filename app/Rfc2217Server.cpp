#include "app/Rfc2217Server.h"

#include <exception>
#include <stdexcept>

#include "framework/SysUtils.h"

namespace portvale {

using namespace rfc2217;

namespace {

std::uint32_t CurrentBaud(const TCustomComPort& port) {
    if (port.BaudRate() == brCustom) return static_cast<std::uint32_t>(port.CustomBaudRate());
    std::int32_t rate = 0;
    return TryStrToInt(BaudRateToStr(port.BaudRate()), rate) ? static_cast<std::uint32_t>(rate) : 0;
}

std::uint8_t StopToWire(TStopBits bits) {
    switch (bits) {
        case sbOneStopBit: return kStopOne;
        case sbTwoStopBits: return kStopTwo;
        default: return kStopOneHalf;
    }
}

std::uint8_t OutFlow(const TComFlowControl& flow) {
    if (flow.OutCTSFlow()) return kControlFlowHardware;
    if (flow.XonXoffOut()) return kControlFlowXonXoff;
    return kControlFlowNone;
}

std::uint8_t InFlow(const TComFlowControl& flow) {
    if (flow.ControlRTS() == rtsHandshake) return kControlInFlowHardware;
    if (flow.XonXoffIn()) return kControlInFlowXonXoff;
    return kControlInFlowNone;
}

const char* CommandName(Command command) {
    static const char* const names[] = {"SIGNATURE",       "SET-BAUDRATE",        "SET-DATASIZE",
                                        "SET-PARITY",      "SET-STOPSIZE",        "SET-CONTROL",
                                        "NOTIFY-LINESTATE", "NOTIFY-MODEMSTATE",  "FLOWCONTROL-SUSPEND",
                                        "FLOWCONTROL-RESUME", "SET-LINESTATE-MASK", "SET-MODEMSTATE-MASK",
                                        "PURGE-DATA"};
    return names[static_cast<std::size_t>(command)];
}

}  // namespace

TRfc2217Server::TRfc2217Server(TCustomComPort& port) : port_(port) {
    auto modem = [this](TObject*, bool) { NotifyModem(); };
    port_.OnCTSChange = modem;
    port_.OnDSRChange = modem;
    port_.OnRLSDChange = modem;
    port_.OnRing = [this](TObject*) { NotifyModem(); };
    port_.OnBreak = [this](TObject*) { NotifyLine(kLineBreak); };
    port_.OnError = [this](TObject*, TComErrors errors) {
        std::uint8_t bits = 0;
        if (errors.Contains(ceFrame)) bits |= kLineFraming;
        if (errors.Contains(ceRxParity)) bits |= kLineParity;
        if (errors.Contains(ceOverrun) || errors.Contains(ceRxOver)) bits |= kLineOverrun;
        if (errors.Contains(ceBreak)) bits |= kLineBreak;
        if (bits) NotifyLine(bits);
    };
}

TRfc2217Server::~TRfc2217Server() {
    port_.OnCTSChange.Clear();
    port_.OnDSRChange.Clear();
    port_.OnRLSDChange.Clear();
    port_.OnRing.Clear();
    port_.OnBreak.Clear();
    port_.OnError.Clear();
}

TRfc2217Server::Session& TRfc2217Server::SessionOf(TConnectionId id) { return sessions_[id]; }

void TRfc2217Server::Opened(TConnectionId id) {
    sessions_.erase(id);
    Site().ToNetwork(id, SessionOf(id).negotiator.Start());
}

void TRfc2217Server::Closed(TConnectionId id) {
    sessions_.erase(id);
    UpdateHold();
}

std::string TRfc2217Server::FromNetwork(TConnectionId id, const std::string& bytes) {
    Session& session = SessionOf(id);
    std::vector<rfc2217::Event> events;
    session.decoder.Feed(bytes, events);
    std::string data;
    for (rfc2217::Event& e : events) {
        switch (e.kind) {
            case rfc2217::Event::Kind::Data:
                data += e.bytes;
                break;
            case rfc2217::Event::Kind::Negotiation:
                if (std::string reply = session.negotiator.Receive(e.verb, e.option); !reply.empty())
                    Site().ToNetwork(id, std::move(reply));
                break;
            case rfc2217::Event::Kind::Subnegotiation: {
                if (e.option != kOptionComPort) break;  // an option we refused
                const ParsedRequest parsed = ParseRequest(e.bytes);
                if (parsed.request) {
                    Handle(id, session, *parsed.request);
                    // The modem lines as they are, once the client has shown it is
                    // listening by its first command.
                    if (!session.announced) {
                        session.announced = true;
                        Answer(id, Command::NotifyModemState, ModemState() & session.modemMask);
                    }
                    break;
                }
                e.bytes = parsed.error;
                [[fallthrough]];
            }
            case rfc2217::Event::Kind::Malformed:
                if (!session.loggedMalformed) Site().Log("RFC 2217: skipped: " + e.bytes);
                session.loggedMalformed = true;
                break;
        }
    }
    return data;
}

std::string TRfc2217Server::FromDevice(TConnectionId, const std::string& bytes) { return EscapeData(bytes); }

void TRfc2217Server::Answer(TConnectionId id, Command command, std::uint32_t value) {
    Site().ToNetwork(id, Reply(command, value));
}

void TRfc2217Server::Handle(TConnectionId id, Session& session, const Request& request) {
    switch (request.command) {
        case Command::Signature:
            if (request.text.empty()) Site().ToNetwork(id, SignatureReply(kSignature));
            return;
        case Command::NotifyLineState:
            if (request.asks) Answer(id, request.command, 0);
            return;
        case Command::NotifyModemState:
            if (request.asks) Answer(id, request.command, ModemState());
            return;
        case Command::FlowControlSuspend:
        case Command::FlowControlResume:
            session.suspended = request.command == Command::FlowControlSuspend;
            UpdateHold();
            return;
        case Command::SetLineStateMask:
            session.lineMask = static_cast<std::uint8_t>(request.value);
            Answer(id, request.command, session.lineMask);
            return;
        case Command::SetModemStateMask:
            session.modemMask = static_cast<std::uint8_t>(request.value);
            Answer(id, request.command, session.modemMask);
            return;
        case Command::PurgeData:
            if (request.value < kPurgeReceive || request.value > kPurgeBoth) {
                Refused(request, "not a buffer");
                return;
            }
            try {
                port_.ClearBuffer(request.value != kPurgeTransmit, request.value != kPurgeReceive);
            } catch (const std::exception& error) {
                Refused(request, error.what());
            }
            Answer(id, request.command, request.value);
            return;
        default:
            Answer(id, request.command, Apply(request));
            return;
    }
}

void TRfc2217Server::Refused(const Request& request, const std::string& why) {
    Site().Log(Format("RFC 2217: %s %u refused: %s", CommandName(request.command),
                      static_cast<unsigned>(request.value), why.c_str()));
}

std::uint32_t TRfc2217Server::Apply(const Request& request) {
    const std::uint32_t v = request.value;
    // The settings before the change, put back when the device refuses it.
    const TBaudRate oldRate = port_.BaudRate();
    const std::int32_t oldCustom = port_.CustomBaudRate();
    const TDataBits oldData = port_.DataBits();
    const TParityBits oldParity = port_.Parity().Bits();
    const TStopBits oldStop = port_.StopBits();
    try {
        switch (request.command) {
            case Command::SetBaudRate:
                if (v == 0) break;
                if (v > 0x7FFFFFFFu) throw std::runtime_error("out of range");
                {
                    TBaudRate rate = brCustom;
                    for (int r = br110; r <= br256000; ++r)
                        if (BaudRateToStr(static_cast<TBaudRate>(r)) == IntToStr(static_cast<std::int32_t>(v)))
                            rate = static_cast<TBaudRate>(r);
                    port_.SetCustomBaudRate(static_cast<std::int32_t>(v));
                    port_.SetBaudRate(rate);
                }
                break;
            case Command::SetDataSize:
                if (v == 0) break;
                if (v < 5 || v > 8) throw std::runtime_error("not 5 to 8 bits");
                port_.SetDataBits(static_cast<TDataBits>(v - 5));
                break;
            case Command::SetParity:
                if (v == kParityRequest) break;
                if (v > kParitySpace) throw std::runtime_error("no such parity");
                port_.Parity().SetBits(static_cast<TParityBits>(v - 1));
                break;
            case Command::SetStopSize:
                if (v == kStopRequest) break;
                if (v > kStopOneHalf) throw std::runtime_error("no such stop size");
                port_.SetStopBits(v == kStopOne ? sbOneStopBit : v == kStopTwo ? sbTwoStopBits : sbOne5StopBits);
                break;
            case Command::SetControl:
                return ApplyControl(v);
            default:
                break;
        }
    } catch (const std::exception& error) {
        Refused(request, error.what());
        try {
            port_.SetCustomBaudRate(oldCustom);
            port_.SetBaudRate(oldRate);
            port_.SetDataBits(oldData);
            port_.Parity().SetBits(oldParity);
            port_.SetStopBits(oldStop);
        } catch (const std::exception&) {
        }
    }
    switch (request.command) {
        case Command::SetBaudRate: return CurrentBaud(port_);
        case Command::SetDataSize: return static_cast<std::uint32_t>(port_.DataBits()) + 5;
        case Command::SetParity: return static_cast<std::uint32_t>(port_.Parity().Bits()) + 1;
        case Command::SetStopSize: return StopToWire(port_.StopBits());
        default: return 0;
    }
}

std::uint32_t TRfc2217Server::ApplyControl(std::uint32_t v) {
    TComFlowControl& flow = port_.FlowControl();
    const Request request{Command::SetControl, v, {}, false};
    try {
        switch (v) {
            case kControlFlowNone: flow.SetFlowControl(fcNone); break;
            case kControlFlowXonXoff: flow.SetFlowControl(fcSoftware); break;
            case kControlFlowHardware: flow.SetFlowControl(fcHardware); break;
            case kControlBreakOn:
            case kControlBreakOff:
                port_.SetBreak(v == kControlBreakOn);
                break_ = v == kControlBreakOn;
                break;
            // The lines as the port's settings, so the port holds them (and a device
            // without modem lines, a pty, takes them without effect).
            case kControlDtrOn:
            case kControlDtrOff:
                if (flow.ControlDTR() == dtrHandshake) throw std::runtime_error("DTR is in handshake");
                flow.SetControlDTR(v == kControlDtrOn ? dtrEnable : dtrDisable);
                break;
            case kControlRtsOn:
            case kControlRtsOff:
                if (flow.ControlRTS() == rtsHandshake) throw std::runtime_error("RTS is in handshake");
                flow.SetControlRTS(v == kControlRtsOn ? rtsEnable : rtsDisable);
                break;
            case kControlInFlowNone:
                flow.SetXonXoffIn(false);
                if (flow.ControlRTS() == rtsHandshake) flow.SetControlRTS(rtsEnable);
                break;
            case kControlInFlowXonXoff: flow.SetXonXoffIn(true); break;
            case kControlInFlowHardware: flow.SetControlRTS(rtsHandshake); break;
            case kControlFlowRequest:
            case kControlBreakRequest:
            case kControlDtrRequest:
            case kControlRtsRequest:
            case kControlInFlowRequest:
                break;
            default:
                throw std::runtime_error("not supported");
        }
    } catch (const std::exception& error) {
        Refused(request, error.what());
    }
    if (v <= kControlFlowHardware || v == kControlFlowDcd || v == kControlFlowDsr) return OutFlow(flow);
    if (v <= kControlBreakOff) return break_ ? kControlBreakOn : kControlBreakOff;
    if (v <= kControlDtrOff) return flow.ControlDTR() != dtrDisable ? kControlDtrOn : kControlDtrOff;
    if (v <= kControlRtsOff) return flow.ControlRTS() != rtsDisable ? kControlRtsOn : kControlRtsOff;
    return InFlow(flow);
}

std::uint8_t TRfc2217Server::ModemState() {
    TComSignals signals;
    try {
        if (port_.Connected()) signals = port_.Signals();
    } catch (const std::exception&) {
    }
    std::uint8_t state = 0;
    if (signals.Contains(csRLSD)) state |= kModemCd;
    if (signals.Contains(csRing)) state |= kModemRi;
    if (signals.Contains(csDSR)) state |= kModemDsr;
    if (signals.Contains(csCTS)) state |= kModemCts;
    const std::uint8_t changed = state ^ lastModem_;
    if (changed & kModemCd) modemDeltas_ |= kModemDeltaCd;
    if (changed & kModemDsr) modemDeltas_ |= kModemDeltaDsr;
    if (changed & kModemCts) modemDeltas_ |= kModemDeltaCts;
    if ((lastModem_ & kModemRi) && !(state & kModemRi)) modemDeltas_ |= kModemTrailingRi;
    lastModem_ = state;
    const std::uint8_t out = state | modemDeltas_;
    modemDeltas_ = 0;
    return out;
}

void TRfc2217Server::NotifyModem() {
    const std::uint8_t state = ModemState();
    for (auto& [id, session] : sessions_) {
        if (!session.negotiator.ComPortActive()) continue;
        // Sent when a masked delta bit is set; the value shows the masked bits.
        if ((state & session.modemMask & 0x0F) == 0) continue;
        Answer(id, Command::NotifyModemState, state & session.modemMask);
    }
}

void TRfc2217Server::NotifyLine(std::uint8_t bits) {
    for (auto& [id, session] : sessions_) {
        if (!session.negotiator.ComPortActive() || (bits & session.lineMask) == 0) continue;
        Answer(id, Command::NotifyLineState, bits & session.lineMask);
    }
}

void TRfc2217Server::UpdateHold() {
    bool hold = false;
    for (const auto& [id, session] : sessions_) hold = hold || session.suspended;
    Site().HoldSerial(hold);
}

}  // namespace portvale

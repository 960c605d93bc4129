// The RFC 2217 access server against the recording serial device: each command
// applied to the port and answered with what the port holds, refusals answered with
// the kept value and logged, broken subnegotiations skipped and logged once, the
// serial data site.Held() and released, modem changes reported through the client's mask.
#include "app/Rfc2217Server.h"

#include "tests/comport/ComPortTestSupport.h"
#include "tests/app/RecordingFilterSite.h"
#include "tests/app/TelnetBytes.h"

namespace portvale {
namespace {

using namespace rfc2217;
using test::PumpUntil;

using test::B;
std::string Sb(std::initializer_list<int> payload) { return B({IAC, SB, 44}) + B(payload) + B({IAC, SE}); }

class Rfc2217Server : public test::RecordedPortTest {
protected:
    void SetUp() override {
        RecordedPortTest::SetUp();
        port->Open();
        server = std::make_unique<TRfc2217Server>(*port);
        server->Attach(site);
        server->Opened(client);
        sent.clear();
        // The client takes the offers; its first command brings the modem state.
        server->FromNetwork(client, B({IAC, WILL, 44, IAC, DO, 44, IAC, WILL, 0, IAC, DO, 0}) + Sb({0}));
        sent.clear();
    }
    void TearDown() override {
        server.reset();
        RecordedPortTest::TearDown();
    }
    // What the server sends back for the bytes, and the data it passes on.
    std::string Ask(const std::string& bytes, std::string* data = nullptr) {
        sent.clear();
        const std::string passed = server->FromNetwork(client, bytes);
        if (data) *data = passed;
        return sent[client];
    }

    const TConnectionId client = 1;
    test::RecordingFilterSite site;
    std::unique_ptr<TRfc2217Server> server;
    std::map<TConnectionId, std::string>& sent = site.sent;
    std::vector<std::string>& logged = site.logged;
};

struct CommandCase {
    const char* name;
    std::string request;
    std::string answer;
    int refusals;  // lines logged
};

TEST_F(Rfc2217Server, CommandsAreAppliedAndAnsweredWithWhatThePortHolds) {
    const std::vector<CommandCase> cases = {
        {"standard rate", Sb({1, 0, 1, 0xC2, 0}), Reply(Command::SetBaudRate, 115200), 0},
        {"rate asked", Sb({1, 0, 0, 0, 0}), Reply(Command::SetBaudRate, 115200), 0},
        {"custom rate", Sb({1, 0, 3, 0xD0, 0x90}), Reply(Command::SetBaudRate, 250000), 0},
        {"data bits", Sb({2, 7}), Reply(Command::SetDataSize, 7), 0},
        {"nine data bits refused", Sb({2, 9}), Reply(Command::SetDataSize, 7), 1},
        {"data bits asked", Sb({2, 0}), Reply(Command::SetDataSize, 7), 0},
        {"parity", Sb({3, kParityEven}), Reply(Command::SetParity, kParityEven), 0},
        {"no such parity", Sb({3, 6}), Reply(Command::SetParity, kParityEven), 1},
        {"stop bits", Sb({4, kStopTwo}), Reply(Command::SetStopSize, kStopTwo), 0},
        {"flow hardware", Sb({5, kControlFlowHardware}), Reply(Command::SetControl, kControlFlowHardware), 0},
        {"inbound flow follows", Sb({5, kControlInFlowRequest}), Reply(Command::SetControl, kControlInFlowHardware), 0},
        {"RTS in handshake refused", Sb({5, kControlRtsOff}), Reply(Command::SetControl, kControlRtsOn), 1},
        {"flow none", Sb({5, kControlFlowNone}), Reply(Command::SetControl, kControlFlowNone), 0},
        {"DTR off", Sb({5, kControlDtrOff}), Reply(Command::SetControl, kControlDtrOff), 0},
        {"DTR asked", Sb({5, kControlDtrRequest}), Reply(Command::SetControl, kControlDtrOff), 0},
        {"RTS off", Sb({5, kControlRtsOff}), Reply(Command::SetControl, kControlRtsOff), 0},
        {"break on", Sb({5, kControlBreakOn}), Reply(Command::SetControl, kControlBreakOn), 0},
        {"break off", Sb({5, kControlBreakOff}), Reply(Command::SetControl, kControlBreakOff), 0},
        {"DCD flow refused", Sb({5, kControlFlowDcd}), Reply(Command::SetControl, kControlFlowNone), 1},
        {"line-state mask", Sb({10, 0x1E}), Reply(Command::SetLineStateMask, 0x1E), 0},
        {"modem-state mask", Sb({11, 0x33}), Reply(Command::SetModemStateMask, 0x33), 0},
        {"purge both", Sb({12, kPurgeBoth}), Reply(Command::PurgeData, kPurgeBoth), 0},
        {"purge of nothing", Sb({12, 4}), "", 1},
        {"signature asked", Sb({0}), SignatureReply(TRfc2217Server::kSignature), 0},
        {"client's signature", Sb({0, 'p', 'y'}), "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        logged.clear();
        EXPECT_EQ(c.answer, Ask(c.request));
        EXPECT_EQ(static_cast<std::size_t>(c.refusals), logged.size());
    }
    EXPECT_EQ(brCustom, port->BaudRate());
    EXPECT_EQ(250000, port->CustomBaudRate());
    EXPECT_EQ(dbSeven, port->DataBits());
    EXPECT_EQ(prEven, port->Parity().Bits());
    EXPECT_EQ(sbTwoStopBits, port->StopBits());
    EXPECT_EQ(dtrDisable, port->FlowControl().ControlDTR());
    EXPECT_EQ(rtsDisable, port->FlowControl().ControlRTS());
}

TEST_F(Rfc2217Server, ARateTheDeviceRefusesIsAnsweredWithTheKeptOne) {
    EXPECT_EQ(Reply(Command::SetBaudRate, 9600), Ask(Sb({1, 0, 0, 0x25, 0x80})));
    api.Fail("SetCommState", 22);
    logged.clear();
    EXPECT_EQ(Reply(Command::SetBaudRate, 9600), Ask(Sb({1, 0, 0, 0x4B, 0})));
    ASSERT_EQ(1u, logged.size());
    EXPECT_NE(std::string::npos, logged[0].find("SET-BAUDRATE 19200 refused"));
    api.Succeed("SetCommState");
    EXPECT_EQ(br9600, port->BaudRate());
}

TEST_F(Rfc2217Server, BrokenSubnegotiationsAreSkippedLoggedOnceAndDataGoesOn) {
    std::string data;
    const std::string broken = B({'a'}) + Sb({1, 0, 0x25}) + B({'b', IAC, IAC}) + Sb({77}) + B({IAC, SB, 44, 2, IAC, 241}) +
                               Sb({2, 1, 2}) + B({'c'});
    EXPECT_EQ("", Ask(broken, &data));
    EXPECT_EQ(B({'a', 'b', 0xFF, 'c'}), data);
    EXPECT_EQ(1u, logged.size());
    // A subnegotiation of another option is not answered, and one past the bound is
    // dropped whole.
    EXPECT_EQ("", Ask(B({IAC, SB, 3, 1, IAC, SE}) + B({IAC, SB, 44}) + std::string(300, '\x02') + B({IAC, SE}) + "tail",
                      &data));
    EXPECT_EQ("tail", data);
    EXPECT_EQ(Reply(Command::SetDataSize, 8), Ask(Sb({2, 0})));
}

TEST_F(Rfc2217Server, SuspendHoldsTheSerialDataUntilResumeOrTheClientLeaves) {
    Ask(Sb({8}));
    EXPECT_TRUE(site.Held());
    Ask(Sb({9}));
    EXPECT_FALSE(site.Held());
    Ask(Sb({8}));
    EXPECT_TRUE(site.Held());
    server->Closed(client);
    EXPECT_FALSE(site.Held());
}

TEST_F(Rfc2217Server, DataToTheClientHasItsIacDoubled) {
    EXPECT_EQ(B({1, IAC, IAC, 13, 0}), server->FromDevice(client, B({1, IAC, 13, 0})));
}

TEST_F(Rfc2217Server, ModemChangesAreReportedThroughTheMask) {
    // One device event, raised once the event thread waits (so the one before was
    // handled); events are handled in order, so a report after one that is masked
    // out shows that one sent nothing.
    auto change = [&](std::uint32_t lines, std::uint32_t event) {
        ASSERT_TRUE(PumpUntil([&] { return api.EventWaitPending(); }));
        api.SetModemStatus(lines);
        api.RaiseEvents(event);
    };
    sent.clear();
    change(MS_CTS_ON, EV_CTS);
    EXPECT_TRUE(PumpUntil([&] { return !sent[client].empty(); }));
    EXPECT_EQ(Reply(Command::NotifyModemState, kModemCts | kModemDeltaCts), sent[client]);

    Ask(Sb({11, kModemCd | kModemDeltaCd}));
    sent.clear();
    change(MS_CTS_ON | MS_DSR_ON, EV_DSR);  // outside the mask: not reported
    change(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON, EV_RLSD);
    EXPECT_TRUE(PumpUntil([&] { return !sent[client].empty(); }));
    EXPECT_EQ(Reply(Command::NotifyModemState, kModemCd | kModemDeltaCd), sent[client]);

    // Line errors go by the line-state mask.
    Ask(Sb({10, kLineBreak}));
    sent.clear();
    change(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON, EV_BREAK);
    EXPECT_TRUE(PumpUntil([&] { return !sent[client].empty(); }));
    EXPECT_EQ(Reply(Command::NotifyLineState, kLineBreak), sent[client]);
}

}  // namespace
}  // namespace portvale

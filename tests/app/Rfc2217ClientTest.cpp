#include "app/Rfc2217Client.h"

#include <termios.h>

#include <gtest/gtest.h>

#include "tests/app/RecordingFilterSite.h"
#include "tests/app/TelnetBytes.h"

namespace portvale {
namespace {

using namespace rfc2217;
using test::B;

std::string Set(Command command, std::uint32_t value) { return ClientRequest(command, value); }

// What a program on the virtual device sets with tcsetattr, and what the server is
// sent: the change from the line before, with the data size and the choice between
// no and even parity (which a pty drops) taken from the bridge's own line.
TEST(Rfc2217ClientLine, TermiosChangesBecomeCommands) {
    struct Case {
        const char* name;
        speed_t speed;
        tcflag_t cflag, iflag;
        LineSettings bridge;  // the bridge's own line (data-bits, parity)
        std::string commands;
    };
    const LineSettings plain{};  // 9600 8N1
    const LineSettings sevenEven{9600, 7, kParityEven, kStopOne, kControlFlowNone};
    const Case cases[] = {
        {"57600 8N2", B57600, CS8 | CSTOPB, 0, plain,
         Set(Command::SetBaudRate, 57600) + Set(Command::SetStopSize, kStopTwo)},
        {"115200 8E1 asked, the bridge says none", B115200, CS8 | PARENB, 0, plain,
         Set(Command::SetBaudRate, 115200)},
        {"115200 8E1 with the bridge's 7E", B115200, CS8 | PARENB, 0, sevenEven,
         Set(Command::SetBaudRate, 115200) + Set(Command::SetDataSize, 7) + Set(Command::SetParity, kParityEven)},
        {"odd", B9600, CS8 | PARENB | PARODD, 0, plain, Set(Command::SetParity, kParityOdd)},
        {"mark", B9600, CS8 | PARENB | PARODD | CMSPAR, 0, plain, Set(Command::SetParity, kParityMark)},
        {"space", B9600, CS8 | PARENB | CMSPAR, 0, plain, Set(Command::SetParity, kParitySpace)},
        {"hardware flow", B9600, CS8 | CRTSCTS, 0, plain, Set(Command::SetControl, kControlFlowHardware)},
        {"XON/XOFF flow", B9600, CS8, IXON | IXOFF, plain, Set(Command::SetControl, kControlFlowXonXoff)},
        {"a resting speed keeps the bridge's speed", B50, CS8, 0, plain, ""},
        {"nothing new", B9600, CS8, 0, plain, ""},
    };
    for (const Case& c : cases) {
        termios t{};
        cfmakeraw(&t);
        t.c_cflag = c.cflag | CREAD | CLOCAL;
        t.c_iflag = c.iflag;
        cfsetspeed(&t, c.speed);
        // The server's line before: 9600 8N1, no flow.
        const LineSettings after = RemoteLineFor(PtyLineSettingsFromTermios(t), c.bridge);
        EXPECT_EQ(c.commands, LineCommands(LineSettings{}, after)) << c.name;
    }
    // Before the program asked anything the bridge's line is sent whole.
    EXPECT_EQ(Set(Command::SetBaudRate, 9600) + Set(Command::SetDataSize, 7) + Set(Command::SetParity, kParityEven) +
                  Set(Command::SetStopSize, kStopOne) + Set(Command::SetControl, kControlFlowNone),
              LineCommands(std::nullopt, RemoteLineFor(std::nullopt, sevenEven)));
}

// One connection after another to a server: the line is sent once the server takes
// commands, again on the next connection, and a change is sent as what changed.
TEST(Rfc2217ClientSession, NegotiatesSendsLineAndReadsAnswers) {
    test::RecordingFilterSite site;
    TRfc2217Client client(LineSettings{});
    client.Attach(site);
    const TConnectionId a = 16, b = 32;
    std::string& wire = site.wire;
    const std::string allOf9600 = LineCommands(std::nullopt, LineSettings{});
    const std::string serverOffers = B({IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 44, IAC, DO, 44});

    for (const TConnectionId connection : {a, b}) {
        wire.clear();
        client.Opened(connection);
        EXPECT_EQ(B({IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 44, IAC, DO, 44}), wire);
        wire.clear();
        // Data and the server's offers together: the data comes through, 0xFF undoubled,
        // and the line goes out once the server DOes COM-PORT-OPTION.
        EXPECT_EQ(B({'a', 0xFF, 'b'}), client.FromNetwork(connection, B({'a', IAC, IAC}) + serverOffers + "b"));
        EXPECT_EQ(allOf9600, wire);
        client.Closed(connection);
    }

    client.Opened(a);
    client.FromNetwork(a, serverOffers + Reply(Command::SetBaudRate, 9600) + Reply(Command::SetDataSize, 8) +
                          Reply(Command::SetParity, kParityNone) + Reply(Command::SetStopSize, kStopOne) +
                          Reply(Command::SetControl, kControlFlowNone));
    EXPECT_TRUE(site.logged.empty());
    wire.clear();
    const LineSettings fast{115200, 8, kParityNone, kStopTwo, kControlFlowNone};
    client.SetLine(fast);
    EXPECT_EQ(Set(Command::SetBaudRate, 115200) + Set(Command::SetStopSize, kStopTwo), wire);
    EXPECT_EQ(B({'x', IAC, IAC}), client.FromDevice(a, B({'x', 0xFF})));

    // Answers: as asked is quiet, another value is told; modem states and a suspension
    // reach their links.
    client.FromNetwork(a, Reply(Command::SetBaudRate, 115200) + Reply(Command::SetStopSize, kStopOne) +
                          Reply(Command::NotifyModemState, kModemCts | kModemDsr) +
                          Reply(Command::FlowControlSuspend, 0));
    ASSERT_EQ(1u, site.logged.size());
    EXPECT_EQ("RFC 2217 server answered SET-STOPSIZE 2 with 1", site.logged[0]);
    EXPECT_EQ(std::vector<std::uint8_t>{kModemCts | kModemDsr}, site.modemStates);
    EXPECT_EQ(std::vector<bool>{true}, site.holds);
    // The suspension ends with the connection.
    client.Closed(a);
    EXPECT_EQ((std::vector<bool>{true, false}), site.holds);
}

}  // namespace
}  // namespace portvale

// The RFC 2217 server as the bridge's filter: a pseudo-terminal as the device, a
// loopback peer as the client, the GUI thread pumped by the test.
#include <sys/socket.h>

#include "app/FilterStack.h"
#include "app/Rfc2217Server.h"
#include "tests/app/FormTestSupport.h"
#include "tests/platform/serial/PtyFixture.h"
#include "tests/sockets/SocketTestSupport.h"
#include "tests/app/TelnetBytes.h"

namespace portvale {
namespace {

using namespace rfc2217;
using test::PumpUntil;

using test::B;

class Rfc2217BridgeTest : public test::FormTest {
protected:
    Rfc2217BridgeTest() {
        Start();
        form->ComPort1->SetPort(pty.path());
        stack = std::make_unique<TFilterStack>(
            form->Bridge(), TFilterStack::Observers{[this](const std::string& line) { logged.push_back(line); }, {}, {}});
        stack->Push(std::make_unique<TRfc2217Server>(*form->ComPort1));
        server = stack->Find<TRfc2217Server>();
        form->Bridge().Filter = stack.get();
    }
    ~Rfc2217BridgeTest() override {
        if (peer >= 0) ::close(peer);
        form->Bridge().Filter = nullptr;
        stack.reset();
    }
    void Listen() {
        const std::uint16_t port = test::RefusingPort();
        form->grpTCPSocketType->SetItemIndex(2);
        form->txbPort->SetText(std::to_string(port));
        Click(form->btnComPortOn);
        Click(form->btnConnect);
        peer = test::ConnectPosix(port);
        ASSERT_GE(peer, 0);
        ASSERT_TRUE(PumpUntil([&] { return form->ServerClientConnected == 1; }));
    }
    // The next `count` bytes the client receives, the GUI thread pumped meanwhile.
    std::string Receive(std::size_t count) {
        std::string out;
        PumpUntil([&] {
            char buffer[4096];
            const ssize_t n = ::recv(peer, buffer, std::min(sizeof buffer, count - out.size()), MSG_DONTWAIT);
            if (n > 0) out.append(buffer, static_cast<std::size_t>(n));
            return out.size() >= count;
        });
        return out;
    }

    test::Pty pty;
    std::unique_ptr<TFilterStack> stack;
    TRfc2217Server* server = nullptr;
    std::vector<std::string> logged;
    int peer = -1;
};

TEST_F(Rfc2217BridgeTest, SuspendedSerialDataWaitsInThePortAndComesWholeOnResume) {
    Listen();
    EXPECT_EQ(B({IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 44, IAC, DO, 44}), Receive(12));
    test::SendAllPosix(peer, B({IAC, WILL, 44, IAC, DO, 44, IAC, SB, 44, 8, IAC, SE}));
    // FLOWCONTROL-SUSPEND brings no answer but the first modem state; a SIGNATURE
    // question after it shows it was taken.
    test::SendAllPosix(peer, B({IAC, SB, 44, 0, IAC, SE}));
    const std::string signature = SignatureReply(TRfc2217Server::kSignature);
    const std::string modem = Reply(Command::NotifyModemState, 0);
    EXPECT_EQ(modem + signature, Receive(signature.size() + modem.size()));

    pty.Send(B({'x', 0xFF, 13, 0, 'y'}));
    ASSERT_TRUE(PumpUntil([&] { return form->ComPort1->InputCount() >= 5; }));
    // Another round trip: the device's bytes are still in the port, none on the wire.
    test::SendAllPosix(peer, B({IAC, SB, 44, 0, IAC, SE}));
    EXPECT_EQ(signature, Receive(signature.size()));
    EXPECT_EQ(5, form->ComPort1->InputCount());

    test::SendAllPosix(peer, B({IAC, SB, 44, 9, IAC, SE}));
    EXPECT_EQ(B({'x', IAC, IAC, 13, 0, 'y'}), Receive(6));
    // And the other way, 0xFF doubled by the client arrives once.
    std::size_t toDevice = 0;
    form->Bridge().OnForward = [&](TBridgeDirection d, TCustomWinSocket*, const std::string& b) {
        if (d == TBridgeDirection::TcpToCom) toDevice += b.size();
    };
    test::SendAllPosix(peer, B({'a', IAC, IAC, 13, 0}));
    ASSERT_TRUE(PumpUntil([&] { return toDevice >= 4 && form->SerialBacklog() == 0; }));
    form->Bridge().OnForward = nullptr;
    EXPECT_EQ(B({'a', 0xFF, 13, 0}), pty.Receive(4));
    EXPECT_TRUE(logged.empty());
}

}  // namespace
}  // namespace portvale

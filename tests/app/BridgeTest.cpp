// The bridge end to end: a pseudo-terminal as the serial device, loopback TCP peers,
// the GUI thread pumped by the test.
#include <future>
#include <random>
#include <thread>

#include "tests/app/FormTestSupport.h"
#include "tests/platform/serial/PtyFixture.h"
#include "tests/sockets/SocketTestSupport.h"

namespace portvale {
namespace {

using test::PumpUntil;

// Longer than any handler that does not wait on a device or a socket takes; under
// ThreadSanitizer, which slows every handler several times over, longer still.
#ifdef __SANITIZE_THREAD__
constexpr std::chrono::seconds kStoppedAnswering{5};
#else
constexpr std::chrono::seconds kStoppedAnswering{1};
#endif

std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
    return bytes;
}

class BridgeTest : public test::FormTest {
protected:
    BridgeTest() {
        Start();
        form->ComPort1->SetPort(pty.path());
    }

    // Pumps the GUI thread until done; fails when the thread stopped answering for
    // kStoppedAnswering at any point (a handler that waited on a device or a socket).
    bool PumpResponsively(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(60)) {
        auto last = std::chrono::steady_clock::now();
        std::chrono::steady_clock::duration longest{};
        const bool ok = PumpUntil(
            [&] {
                const auto now = std::chrono::steady_clock::now();
                longest = std::max(longest, now - last);
                last = now;
                return done();
            },
            limit);
        EXPECT_LT(longest, kStoppedAnswering) << "the GUI thread stopped answering";
        return ok;
    }

    void ConnectAsClient(test::PosixListener& server) {
        PressConnectAsClientOf(test::kKnownHost, server.Port());
        ASSERT_TRUE(PumpUntil([&] { return form->TcpConnected == 1; }));
        ASSERT_TRUE(form->ComPort1->Connected());
    }

    std::uint16_t ListenAsServer() {
        const std::uint16_t port = test::RefusingPort();
        form->grpTCPSocketType->SetItemIndex(2);
        form->txbPort->SetText(std::to_string(port));
        Click(form->btnComPortOn);
        Click(form->btnConnect);
        EXPECT_TRUE(form->ServerSocket1->Active());
        return port;
    }

    // Both ways at once: the TCP peer and the device each send their own random
    // bytes and read the other's.
    void ExchangeBothWays(int tcpPeer, std::size_t size) {
        const std::string toSerial = RandomBytes(size, 1), toTcp = RandomBytes(size, 2);
        std::string atSerial, atTcp;
        std::atomic<int> finished{0};
        std::thread tcpSide([&] {
            std::thread reader([&] { atTcp = test::ReadExactPosix(tcpPeer, size, std::chrono::seconds(60)); });
            test::SendAllPosix(tcpPeer, toSerial);
            reader.join();
            ++finished;
        });
        std::thread serialSide([&] {
            std::thread reader([&] { atSerial = pty.Receive(size, std::chrono::seconds(60)); });
            pty.Send(toTcp);
            reader.join();
            ++finished;
        });
        PumpResponsively([&] { return finished == 2; });
        tcpSide.join();
        serialSide.join();
        EXPECT_TRUE(atSerial == toSerial) << "serial side got " << atSerial.size() << " of " << size;
        EXPECT_TRUE(atTcp == toTcp) << "TCP side got " << atTcp.size() << " of " << size;
    }

    // Reads from a TCP peer while the GUI thread goes on bridging.
    std::string ReadPeer(int fd, std::size_t n) {
        std::string got;
        std::atomic<bool> done{false};
        std::thread reader([&] {
            got = test::ReadExactPosix(fd, n);
            done = true;
        });
        PumpUntil([&] { return done.load(); });
        reader.join();
        return got;
    }

    test::Pty pty;
    test::ScopedResolver resolver;
};

TEST_F(BridgeTest, FourMebibytesEachWayAtOnceArriveExactlyAsAClient) {
    test::PosixListener server;
    ConnectAsClient(server);
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    ExchangeBothWays(peer, 4 << 20);
    EXPECT_LE(form->redtTCPIPMsg->Size(), TRichEdit::kDefaultCapacity) << "the pane keeps a bounded history";
    ::close(peer);
}

TEST_F(BridgeTest, FourMebibytesEachWayAtOnceArriveExactlyAsAServer) {
    const std::uint16_t port = ListenAsServer();
    const int peer = test::ConnectPosix(port);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(PumpUntil([&] { return form->ServerClientConnected == 1; }));
    ExchangeBothWays(peer, 4 << 20);
    ::close(peer);
}

TEST_F(BridgeTest, ASlowSerialSideSlowsTheTcpSenderAndLosesNothing) {
    test::PosixListener server;
    ConnectAsClient(server);
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    // More than the kernel's buffers on both ends and the bridge's queue hold.
    const int smallBuffer = 64 << 10;
    ::setsockopt(peer, SOL_SOCKET, SO_SNDBUF, &smallBuffer, sizeof smallBuffer);
    const std::string data = RandomBytes(16 << 20, 3);
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        test::SendAllPosix(peer, data);
        sent = true;
    });
    // The device reads nothing: the bridge's queue fills to its mark and stops there.
    ASSERT_TRUE(PumpResponsively([&] { return form->SerialBacklog() >= kHighWater; }));
    PumpResponsively([&] { return false; }, std::chrono::seconds(1));
    EXPECT_FALSE(sent) << "the sender is held back by TCP's flow control";
    EXPECT_LE(form->SerialBacklog(), kHighWater + (256 << 10)) << "reading stopped at the mark";

    std::string atSerial;
    std::atomic<bool> received{false};
    std::thread reader([&] {
        atSerial = pty.Receive(data.size(), std::chrono::seconds(60));
        received = true;
    });
    PumpResponsively([&] { return received && sent; });
    reader.join();
    sender.join();
    EXPECT_TRUE(atSerial == data) << atSerial.size() << " of " << data.size();
    ::close(peer);
}

TEST_F(BridgeTest, ASlowTcpSideHoldsTheSerialDataAndLosesNothing) {
    test::PosixListener server;
    ConnectAsClient(server);
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    const int smallBuffer = 64 << 10;
    ::setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &smallBuffer, sizeof smallBuffer);
    const std::string data = RandomBytes(16 << 20, 4);
    std::atomic<bool> sent{false};
    std::thread device([&] {
        pty.Send(data);
        sent = true;
    });
    // The peer reads nothing: the TCP queue reaches its mark and the port is left unread.
    ASSERT_TRUE(PumpResponsively([&] { return form->TcpBacklog() >= kHighWater; }));
    PumpResponsively([&] { return false; }, std::chrono::seconds(1));
    EXPECT_LT(form->TcpBacklog(), kHighWater + (1 << 20));

    std::string atTcp;
    std::atomic<bool> read{false};
    std::thread reader([&] {
        atTcp = test::ReadExactPosix(peer, data.size(), std::chrono::seconds(60));
        read = true;
    });
    PumpResponsively([&] { return read.load(); });
    reader.join();
    device.join();
    EXPECT_TRUE(atTcp == data) << atTcp.size() << " of " << data.size();
    ::close(peer);
}

TEST_F(BridgeTest, PanesShowNewestLineFirstInTheChosenFormat) {
    test::PosixListener server;
    ConnectAsClient(server);
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    form->rdIncomingFormat->SetItemIndex(mfHex);
    std::string twenty;
    for (char b = 0; b < 20; ++b) twenty.push_back(b);
    test::SendAllPosix(peer, twenty);
    const char* hex = "10 11 12 13 \n00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F ";
    EXPECT_TRUE(PumpUntil([&] { return form->redtTCPIPMsg->Text() == hex; })) << form->redtTCPIPMsg->Text();
    EXPECT_EQ(pty.Receive(20), twenty);

    form->rdIncomingFormat->SetItemIndex(mfString);
    pty.Send(std::string("\0" "1\r\n", 4));
    EXPECT_EQ(ReadPeer(peer, 4), std::string("\0" "1\r\n", 4));
    ASSERT_TRUE(PumpUntil([&] { return !form->redtComPortMsg->Text().empty(); }));
    pty.Send("OK\r\n");
    EXPECT_EQ(ReadPeer(peer, 4), "OK\r\n");
    EXPECT_TRUE(PumpUntil([&] { return form->redtComPortMsg->Text() == "OK\n<NUL>1"; }))
        << "a zero byte is shown, not cut: " << form->redtComPortMsg->Text();
    // A Latin-1 device's last byte could start a UTF-8 character: the pause shows it.
    pty.Send("caf\xE9");
    EXPECT_EQ(ReadPeer(peer, 4), "caf\xE9");
    EXPECT_TRUE(PumpUntil([&] { return form->redtComPortMsg->Text() == "caf\xC3\xA9\nOK\n<NUL>1"; }))
        << form->redtComPortMsg->Text();
    ::close(peer);
}

TEST_F(BridgeTest, SerialDataGoesToTheOldestClientStillConnected) {
    const std::uint16_t port = ListenAsServer();
    const int a = test::ConnectPosix(port);
    ASSERT_TRUE(PumpUntil([&] { return form->ServerSocket1->WinSocket()->ActiveConnections() == 1; }));
    const int b = test::ConnectPosix(port);
    ASSERT_TRUE(PumpUntil([&] { return form->ServerSocket1->WinSocket()->ActiveConnections() == 2; }));
    const std::string aPeer = "127.0.0.1:" + std::to_string(test::LocalPort(a));
    const std::string bPeer = "127.0.0.1:" + std::to_string(test::LocalPort(b));
    EXPECT_EQ(Panel(1), "2 clients; serial data to " + aPeer);
    pty.Send("to A");
    EXPECT_EQ(ReadPeer(a, 4), "to A");

    ::close(a);
    ASSERT_TRUE(PumpUntil([&] { return Panel(0) == "Client Disconnected"; }));
    EXPECT_EQ(Panel(1), "1 client; serial data to " + bPeer);
    EXPECT_EQ(form->ServerClientConnected, 1) << "B is still connected";
    EXPECT_EQ(form->TcpConnected, 1);
    EXPECT_TRUE(form->btnConnect->Down());
    EXPECT_EQ(form->imgConectionStatus->Picture().Resource(), "icons/0.svg");
    pty.Send("to B");
    EXPECT_EQ(ReadPeer(b, 4), "to B");

    ::close(b);
    ASSERT_TRUE(PumpUntil([&] { return form->ServerClientConnected == 0; }));
    EXPECT_EQ(form->TcpConnected, 0);
    EXPECT_FALSE(form->btnConnect->Down());
    EXPECT_EQ(form->imgConectionStatus->Picture().Resource(), "icons/1.svg");
    EXPECT_EQ(Panel(1).rfind("Listening on port " + std::to_string(port), 0), 0u) << Panel(1);
}

// A client that resets while sent to: by "TCP Message", or serial data held in the
// port until the reset is done, so that the send meets it.
TEST_F(BridgeTest, AClientResetWhileSentToIsClosedWithItsReasonAndTheOthersAreServed) {
    const std::uint16_t port = ListenAsServer();
    for (const bool typed : {true, false}) {
        SCOPED_TRACE(typed ? "TCP Message" : "serial data");
        const int a = test::ConnectPosix(port), b = test::ConnectPosix(port);
        ASSERT_TRUE(PumpUntil([&] { return form->ServerSocket1->WinSocket()->ActiveConnections() == 2; }));
        const std::string aPeer = "127.0.0.1:" + std::to_string(test::LocalPort(a));
        form->txbSendMessage->SetText("to A");
        form->HoldSerial(!typed);
        if (!typed) pty.Send("to A");
        ASSERT_TRUE(PumpUntil([&] { return typed || form->ComPort1->InputCount() == 4; }));
        test::ResetPosix(a);
        Guarded([&] { typed ? form->btnTCPSendMessage->Click() : form->HoldSerial(false); });
        ASSERT_TRUE(PumpUntil([&] { return form->ServerSocket1->WinSocket()->ActiveConnections() == 1; }));
        EXPECT_TRUE(interaction.shown.empty());
        EXPECT_EQ(Panel(1), "Client " + aPeer + ": Connection reset by peer (10054)");
        pty.Send("to B");
        EXPECT_EQ(ReadPeer(b, 4), "to B");
        ::close(b);
        ASSERT_TRUE(PumpUntil([&] { return form->ServerClientConnected == 0; }));
    }
}

TEST_F(BridgeTest, SerialBytesWaitInThePortUntilTheClientConnectionIsMade) {
    // The host lookup waits for the test, so the connection is not made until then.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    ws::SetHostResolver([released](const std::string&, std::vector<ws::HostAddress>* addresses) {
        released.wait();
        addresses->push_back(ws::HostAddress::IPv4(htonl(INADDR_LOOPBACK)));
        return 0;
    });
    std::size_t dropped = 0;
    form->Bridge().OnDrop = [&](TBridgeDirection, const char*, std::size_t n) { dropped += n; };
    test::PosixListener server;
    PressConnectAsClientOf(test::kKnownHost, server.Port());
    ASSERT_TRUE(form->ComPort1->Connected());
    pty.Send("early");
    ASSERT_TRUE(PumpUntil([&] { return form->ComPort1->InputCount() == 5; }));

    release.set_value();
    ASSERT_TRUE(PumpUntil([&] { return form->TcpConnected == 1; }));
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    EXPECT_EQ(ReadPeer(peer, 5), "early");
    EXPECT_EQ(dropped, 0u);

    // The disconnect closes the port the user still wants on; the panel says how it opens.
    Click(form->btnDisconnect);
    EXPECT_FALSE(form->ComPort1->Connected());
    EXPECT_EQ(Panel(1), "Com port closed; TCP Connect or Listen opens it again");
    Click(form->btnComPortOff);
    EXPECT_EQ(Panel(1), "");
    ::close(peer);
}

TEST_F(BridgeTest, AFailingReadIsShownAndThePortGoesOnRaisingEvents) {
    test::PosixListener server;
    ConnectAsClient(server);
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    // More than is waiting, on a port that reads nothing: the read fails in the handler.
    Click(form->btnComPortOff);
    form->ComPort1->OnRxChar(form->ComPort1, 8);
    EXPECT_FALSE(Panel(1).empty());
    EXPECT_TRUE(interaction.shown.empty());
    Click(form->btnComPortOn);
    pty.Send("still here");
    EXPECT_EQ(ReadPeer(peer, 10), "still here");
    ::close(peer);
}

TEST_F(BridgeTest, ALostPortIsRetriedByItsNameUntilItIsBack) {
    // The device by a stable name, as /dev/serial/by-id or a socat link gives one.
    const std::string link = dir.File("device");
    ASSERT_EQ(::symlink(pty.path().c_str(), link.c_str()), 0);
    form->ComPort1->SetPort(link);
    Click(form->btnComPortOn);
    ASSERT_TRUE(form->ComPort1->Connected());

    pty.CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return !form->ComPort1->Connected(); }));
    EXPECT_EQ(Panel(1), "Com port lost: " + link + ", retrying");
    EXPECT_TRUE(form->RetryingPort());
    EXPECT_EQ(form->ComPortOn, 1) << "the user still wants it on";
    EXPECT_TRUE(form->btnComPortOn->Down());

    // Plugged in again: a new device behind the same name.
    test::Pty again;
    ASSERT_EQ(::unlink(link.c_str()), 0);
    ASSERT_EQ(::symlink(again.path().c_str(), link.c_str()), 0);
    ASSERT_TRUE(PumpUntil([&] { return form->ComPort1->Connected(); }));
    EXPECT_EQ(Panel(1), "Com port back: " + link);
    EXPECT_FALSE(form->RetryingPort());
    form->txbCom->SetText("again");
    Click(form->btnSendCom);
    EXPECT_EQ(again.Receive(7), "again\r\n");
    EXPECT_TRUE(interaction.shown.empty());
}

TEST_F(BridgeTest, ComPortOffStopsTheRetriesAndAPortNotWantedOnIsNotRetried) {
    Click(form->btnComPortOn);
    pty.CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return form->RetryingPort(); }));
    Click(form->btnComPortOff);
    EXPECT_FALSE(form->RetryingPort());
    EXPECT_EQ(Panel(1), "") << "no longer retrying";

    // Opened by a connect in mode Off, without "Com-Port On": reported, not retried.
    test::Pty other;
    form->ComPort1->SetPort(other.path());
    form->grpTCPSocketType->SetItemIndex(0);
    Click(form->btnConnect);
    ASSERT_TRUE(form->ComPort1->Connected());
    other.CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return !form->ComPort1->Connected(); }));
    EXPECT_EQ(Panel(1), "Com port lost: " + other.path());
    EXPECT_FALSE(form->RetryingPort());
    EXPECT_FALSE(form->btnComPortOn->Down());
    EXPECT_FALSE(form->btnComPortOff->Down());
}

TEST_F(BridgeTest, TcpDataWhileThePortIsClosedIsShownAndDropped) {
    test::PosixListener server;
    form->grpTCPSocketType->SetItemIndex(1);
    form->txbHost->SetText(test::kKnownHost);
    form->txbPort->SetText(std::to_string(server.Port()));
    Click(form->btnConnect);
    ASSERT_TRUE(PumpUntil([&] { return form->TcpConnected == 1; }));
    const int peer = server.Accept();
    test::SendAllPosix(peer, "dropped");
    ASSERT_TRUE(PumpUntil([&] { return form->redtTCPIPMsg->Text() == "dropped"; }));
    EXPECT_EQ(form->SerialBacklog(), 0u);
    EXPECT_TRUE(interaction.shown.empty());
    ::close(peer);
}

}  // namespace
}  // namespace portvale

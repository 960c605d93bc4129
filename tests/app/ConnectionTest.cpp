// TCP connection control of the window over real loopback sockets.
#include "tests/app/FormTestSupport.h"
#include "tests/sockets/SocketTestSupport.h"

namespace portvale {
namespace {

using test::ConnectPosix;
using test::PumpUntil;

class ConnectionTest : public test::FormTest {
protected:
    ConnectionTest() { Start(); }

    void ConnectClient(const std::string& host, std::uint16_t port) {
        form->grpTCPSocketType->SetItemIndex(1);
        form->txbHost->SetText(host);
        form->txbPort->SetText(std::to_string(port));
        Click(form->btnConnect);
    }

    void Listen(std::uint16_t port) {
        form->grpTCPSocketType->SetItemIndex(2);
        form->txbPort->SetText(std::to_string(port));
        Click(form->btnConnect);
    }

    test::ScopedResolver resolver;
};

TEST_F(ConnectionTest, ClientConnectsShowsItAndGoesBackWhenThePeerCloses) {
    test::PosixListener server;
    ConnectClient(test::kKnownHost, server.Port());
    ASSERT_TRUE(PumpUntil([&] { return form->TcpConnected == 1; }));
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    EXPECT_EQ(Panel(0), "Connected to Server");
    EXPECT_EQ(form->imgConectionStatus->Picture().Resource(), "icons/0.svg");
    EXPECT_TRUE(form->btnConnect->Down());

    Click(form->btnConnect);  // connected: the button only stays down
    EXPECT_TRUE(form->btnConnect->Down());

    ::close(peer);
    ASSERT_TRUE(PumpUntil([&] { return form->TcpConnected == 0; }));
    EXPECT_EQ(Panel(0), "Disconnected from Server");
    EXPECT_EQ(form->imgConectionStatus->Picture().Resource(), "icons/1.svg");
    EXPECT_FALSE(form->btnConnect->Down());
    EXPECT_TRUE(interaction.shown.empty());
}

TEST_F(ConnectionTest, FailedAttemptsShowTheirReasonBesideTheStatusWithoutABox) {
    struct Row {
        const char* host;
        bool refusingPort;
        const char* detail;
        const char* status;  // panel 0 after the attempt
    };
    for (const Row& row : {Row{test::kKnownHost, true, "Connection refused (10061)", "No Connection"},
                           Row{test::kUnknownHost, false, "Host not found (11001)", "Disconnected from Server"},
                           Row{"", false, "No address specified (1110)", "Disconnected from Server"}}) {
        SCOPED_TRACE(row.host);
        form->stat1->SetPanelText(0, "No Connection");
        ConnectClient(row.host, row.refusingPort ? test::RefusingPort() : 5000);
        ASSERT_TRUE(PumpUntil([&] { return Panel(1) == row.detail; })) << Panel(1);
        EXPECT_EQ(Panel(0), row.status);
        EXPECT_EQ(form->TcpConnected, 0);
        EXPECT_FALSE(form->btnConnect->Down());
    }
    EXPECT_TRUE(interaction.shown.empty());

    // The next connect that succeeds clears the reason.
    test::PosixListener server;
    ConnectClient(test::kKnownHost, server.Port());
    ASSERT_TRUE(PumpUntil([&] { return form->TcpConnected == 1; }));
    EXPECT_EQ(Panel(1), "");
}

TEST_F(ConnectionTest, PortTextThatIsNotANumberGivesTheBoxAfterTheHostWasTaken) {
    form->grpTCPSocketType->SetItemIndex(1);
    form->txbHost->SetText("elsewhere.test");
    form->txbPort->SetText("abc");
    Click(form->btnConnect);
    ASSERT_EQ(interaction.shown.size(), 1u);
    EXPECT_EQ(interaction.shown[0].text, "Bağlantı Kurulamadı.!");
    EXPECT_EQ(interaction.shown[0].caption, "Hata");
    EXPECT_EQ(interaction.shown[0].flags, MB_OK);
    EXPECT_EQ(form->ClientSocket1->Host(), "elsewhere.test");
    EXPECT_EQ(Panel(1), "'abc' is not a valid integer value");
}

TEST_F(ConnectionTest, APortOutsideTheTcpRangeIsRefusedNotWrapped) {
    struct Row {
        int mode;
        const char* port;
    };
    for (const Row& row : {Row{1, "70000"}, Row{1, "0"}, Row{2, "65536"}, Row{2, "-1"}}) {
        SCOPED_TRACE(row.port);
        interaction.shown.clear();
        form->grpTCPSocketType->SetItemIndex(row.mode);
        form->txbHost->SetText(test::kKnownHost);
        form->txbPort->SetText(row.port);
        Click(form->btnConnect);
        ASSERT_EQ(interaction.shown.size(), 1u);
        EXPECT_EQ(interaction.shown[0].text, sConnectFailed);
        EXPECT_EQ(Panel(1), "TCP port must be 1 to 65535");
        EXPECT_FALSE(form->ServerSocket1->Active());
    }
    Click(form->btnSave);
    TTcpSettings saved;
    saved.LoadFromFile(dir.File("TCP.SET"));
    EXPECT_EQ(saved.Port(), -1) << "the record keeps what was typed";
}

TEST_F(ConnectionTest, AConnectionResetByTheServerEndsAsAnOrderlyCloseDoesWithTheReason) {
    test::PosixListener server;
    ConnectClient(test::kKnownHost, server.Port());
    ASSERT_TRUE(PumpUntil([&] { return form->TcpConnected == 1; }));
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    test::ResetPosix(peer);
    ASSERT_TRUE(PumpUntil([&] { return form->TcpConnected == 0; }));
    EXPECT_EQ(Panel(0), "Disconnected from Server");
    EXPECT_EQ(form->imgConectionStatus->Picture().Resource(), "icons/1.svg");
    EXPECT_FALSE(form->btnConnect->Down());
    EXPECT_NE(Panel(1).find("(10054)"), std::string::npos) << Panel(1);
    EXPECT_TRUE(interaction.shown.empty());
}

TEST_F(ConnectionTest, ServerListensTakesAClientAndKeepsItsPortWhenAskedForAnother) {
    const std::uint16_t port = test::RefusingPort();
    Listen(port);
    EXPECT_EQ(form->btnConnect->Caption(), "TCP Listen");
    EXPECT_TRUE(form->ServerSocket1->Active());
    EXPECT_EQ(Panel(0), "No Connection") << "listening alone changes the connection status in nothing";
    const std::string listening = "Listening on port " + std::to_string(port) +
                                  (test::HaveIpv6Loopback() ? " (IPv4 and IPv6)" : " (IPv4)");
    EXPECT_EQ(Panel(1), listening);

    const int client = ConnectPosix(port);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(PumpUntil([&] { return form->ServerClientConnected == 1; }));
    EXPECT_EQ(Panel(0), "Client Connected");
    EXPECT_EQ(Panel(1), "1 client; serial data to 127.0.0.1:" + std::to_string(test::LocalPort(client)));
    EXPECT_EQ(form->TcpConnected, 1);
    EXPECT_TRUE(form->btnConnect->Down());

    // Another port while a client is connected: the button only stays down.
    form->txbPort->SetText(std::to_string(test::RefusingPort()));
    Click(form->btnConnect);
    EXPECT_TRUE(interaction.shown.empty());

    Click(form->btnDisconnect);
    EXPECT_EQ(form->TcpConnected, 0);
    EXPECT_EQ(form->ServerClientConnected, 0);
    EXPECT_FALSE(form->ServerSocket1->Active());
    EXPECT_EQ(form->imgConectionStatus->Picture().Resource(), "icons/1.svg");
    EXPECT_EQ(Panel(0), "Client Disconnected") << "the accepted connection is gone, and said so";
    EXPECT_FALSE(form->btnConnect->Down());
    EXPECT_EQ(Panel(1), "");
    ::close(client);

    // Listening again, then asked for another port while listening: the box, and
    // the server stays on the old port.
    Listen(port);
    form->txbPort->SetText(std::to_string(test::RefusingPort()));
    Click(form->btnConnect);
    ASSERT_EQ(interaction.shown.size(), 1u);
    EXPECT_EQ(interaction.shown[0].caption, "Hata");
    EXPECT_EQ(form->ServerSocket1->Port(), port);
    const int again = ConnectPosix(port);
    EXPECT_GE(again, 0);
    if (again >= 0) ::close(again);
}

TEST_F(ConnectionTest, ListeningClearsTheStatusAnEndedClientSessionLeft) {
    test::PosixListener server;
    ConnectClient(test::kKnownHost, server.Port());
    ASSERT_TRUE(PumpUntil([&] { return form->TcpConnected == 1; }));
    ::close(server.Accept());
    ASSERT_TRUE(PumpUntil([&] { return Panel(0) == "Disconnected from Server"; }));
    Listen(test::RefusingPort());
    ASSERT_TRUE(form->ServerSocket1->Active());
    EXPECT_EQ(Panel(0), "") << "the client session is over; the server has no client yet";
}

TEST_F(ConnectionTest, TcpSendGoesToEachLiveConnectionAndSaysSoWhenThereIsNone) {
    form->txbSendMessage->SetText("x");
    Click(form->btnTCPSendMessage);
    EXPECT_EQ(Panel(1), "No TCP connection");

    // Listening without a client is no connection either.
    Listen(test::RefusingPort());
    Click(form->btnTCPSendMessage);
    EXPECT_EQ(Panel(1), "No TCP connection");

    // Then connected as a client as well: the server gets what is typed.
    test::PosixListener server;
    ConnectClient(test::kKnownHost, server.Port());
    ASSERT_TRUE(PumpUntil([&] { return form->TcpConnected == 1; }));
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    Click(form->btnTCPSendMessage);
    EXPECT_EQ(test::ReadExactPosix(peer, 3), "x\r\n");
    EXPECT_TRUE(interaction.shown.empty());
    ::close(peer);
}

}  // namespace
}  // namespace portvale

// Start-up, the serial on/off commands, the links, the pane split and "TCP.SET".
#include "tests/app/FormTestSupport.h"
#include "tests/platform/serial/PtyFixture.h"

namespace portvale {
namespace {

using test::FormTest;
using test::ReadFileBytes;
using test::WriteFileBytes;

std::string Record(const std::string& host, std::int32_t port, std::int32_t mode, std::uint8_t flag,
                   std::uint8_t reservedFill = 0) {
    TTcpSettings s;
    s.bytes.fill(reservedFill);
    s.SetHost(host);
    s.SetPort(port);
    s.SetSocketMode(mode);
    s.SetSerialFlag(flag);
    return std::string(reinterpret_cast<const char*>(s.bytes.data()), s.bytes.size());
}

TEST_F(FormTest, FirstStartInAnEmptyDirectoryWritesTheDefaultsAndShowsThem) {
    Start();
    EXPECT_EQ(form->SettingsDir, dir.Path() + "/");
    EXPECT_EQ(form->grpTCPSocketType->ItemIndex(), 1);
    EXPECT_EQ(form->btnConnect->Caption(), "TCP Connect");
    EXPECT_EQ(form->txbHost->Text(), "localhost");
    EXPECT_EQ(form->txbPort->Text(), "5000");
    EXPECT_TRUE(form->btnComPortOff->Down());
    EXPECT_FALSE(form->btnComPortOn->Down());
    EXPECT_FALSE(form->btnConnect->Down());
    EXPECT_FALSE(form->ComPort1->Connected());
    EXPECT_EQ(Panel(0), "No Connection");
    EXPECT_EQ(form->imgConectionStatus->Picture().Resource(), "icons/1.svg");
    EXPECT_EQ(ReadFileBytes(dir.File("TCP.SET")), Record("localhost", 5000, 1, 0));
    EXPECT_TRUE(interaction.shown.empty());
}

struct RecordRow {
    const char* name;
    std::string file;
    const char* host;
    const char* port;
    int mode;
    const char* caption;
    std::uint8_t comPortOn;
};

class RecordReadTest : public FormTest, public ::testing::WithParamInterface<RecordRow> {};

TEST_P(RecordReadTest, ShowsWhatTheFileHolds) {
    const RecordRow& row = GetParam();
    WriteFileBytes(dir.File("TCP.SET"), row.file);
    Start();
    EXPECT_EQ(form->txbHost->Text(), row.host);
    EXPECT_EQ(form->txbPort->Text(), row.port);
    EXPECT_EQ(form->grpTCPSocketType->ItemIndex(), row.mode);
    EXPECT_EQ(form->btnConnect->Caption(), row.caption);
    EXPECT_EQ(form->ComPortOn, row.comPortOn);
    EXPECT_EQ(form->btnComPortOn->Down(), row.comPortOn != 0);
    EXPECT_EQ(form->btnComPortOff->Down(), row.comPortOn == 0);
    EXPECT_FALSE(form->ComPort1->Connected()) << "the saved flag never opens the port at start";
    EXPECT_TRUE(interaction.shown.empty());
}

const std::string kHost63(63, 'h');
const std::string kX63(63, 'x');

INSTANTIATE_TEST_SUITE_P(
    Files, RecordReadTest,
    ::testing::Values(
        RecordRow{"Server", Record("192.168.100.200", 70000, 2, 0), "192.168.100.200", "70000", 2, "TCP Listen", 0},
        RecordRow{"ModeAboveRange", Record("a", 1, 7, 0), "a", "1", 2, "TCP Listen", 0},
        RecordRow{"ModeBelowRange", Record("a", -1, -5, 0), "a", "-1", -1, "TCP Connect", 0},
        RecordRow{"SerialFlagTwo", Record("a", 1, 1, 2), "a", "1", 1, "TCP Connect", 2},
        RecordRow{"LongHost", Record(kHost63, 1, 0, 1), kHost63.c_str(), "1", 0, "TCP Connect", 1},
        // A host field with no zero in 64 bytes: 63 characters are taken.
        RecordRow{"UnterminatedHost", std::string(64, 'x') + Record("", 9, 1, 0).substr(64),
                  kX63.c_str(), "9", 1, "TCP Connect", 0},
        // Short files supply what they hold; the rest reads as zero.
        RecordRow{"OnlyTheHost", std::string("abc\0", 4), "abc", "0", 0, "TCP Connect", 0},
        RecordRow{"Empty", std::string(), "", "0", 0, "TCP Connect", 0}),
    [](const ::testing::TestParamInfo<RecordRow>& row) { return std::string(row.param.name); });

TEST_F(FormTest, SaveWritesTheFieldsAndKeepsTheReservedBytes) {
    std::string file = Record("old.host", 1234, 2, 2, 0);
    for (std::size_t i = 73; i < file.size(); ++i) file[i] = static_cast<char>(i * 7);
    WriteFileBytes(dir.File("TCP.SET"), file);
    Start();

    struct Save {
        std::string host;
        const char* port;
        std::string storedHost;
        std::int32_t storedPort;
    };
    for (const Save& save : {Save{"192.168.100.200", "70000", "192.168.100.200", 70000},
                             Save{"controller-room-7", "abc", "controller-room-7", 0},
                             // An IPv6 literal with its zone fits the field whole.
                             Save{"fe80::211:22ff:fe33:4455%enp0s31f6", "5000",
                                  "fe80::211:22ff:fe33:4455%enp0s31f6", 5000},
                             Save{std::string(70, 'n'), "$10", std::string(63, 'n'), 16}}) {
        form->txbHost->SetText(save.host);
        form->txbPort->SetText(save.port);
        Click(form->btnSave);
        EXPECT_EQ(Panel(1), "Settings saved to " + dir.File("TCP.SET"));
        const std::string written = ReadFileBytes(dir.File("TCP.SET"));
        ASSERT_EQ(written.size(), 184u);
        TTcpSettings s;
        std::copy(written.begin(), written.end(), s.bytes.begin());
        EXPECT_EQ(s.Host(), save.storedHost);
        EXPECT_EQ(s.Port(), save.storedPort);
        EXPECT_EQ(s.SocketMode(), 2);
        EXPECT_EQ(s.SerialFlag(), 2) << "a flag read from the file is written back as it was";
        EXPECT_EQ(written.substr(73), file.substr(73));
    }
    // And the next start shows what was saved.
    Start();
    EXPECT_EQ(form->txbHost->Text(), std::string(63, 'n'));
    EXPECT_EQ(form->txbPort->Text(), "16");
    EXPECT_TRUE(interaction.shown.empty());
}

TEST_F(FormTest, HostsBeyondAsciiComeBackAsTypedAtTheNextStart) {
    Start();
    struct Row {
        std::string typed;
        std::string shown;  // at the next start
    };
    const std::string g = "\xC4\x9F";  // ğ, which has no single byte
    for (const Row& row : {Row{"k\xC3\xB6ln.example", "k\xC3\xB6ln.example"},
                           Row{"\xC4\xB0stanbul-" + g, "\xC4\xB0stanbul-" + g},
                           // Latin-1 characters whose bytes would read as UTF-8 (Ã©).
                           Row{"\xC3\x83\xC2\xA9", "\xC3\x83\xC2\xA9"},
                           // 80 bytes of UTF-8: cut to whole characters within 63 bytes.
                           [&] {
                               std::string long_, cut;
                               for (int i = 0; i < 40; ++i) long_ += g;
                               for (int i = 0; i < 31; ++i) cut += g;
                               return Row{long_, cut};
                           }()}) {
        SCOPED_TRACE(row.typed);
        form->txbHost->SetText(row.typed);
        Click(form->btnSave);
        Start();
        EXPECT_EQ(form->txbHost->Text(), row.shown);
    }
    // A file holding Latin-1 bytes reads as it always did.
    WriteFileBytes(dir.File("TCP.SET"), Record("caf\xE9", 5000, 1, 0));
    Start();
    EXPECT_EQ(form->txbHost->Text(), "caf\xC3\xA9");
    EXPECT_TRUE(interaction.shown.empty());
}

TEST_F(FormTest, AnUnwritableRecordIsReportedByTheCentralHandler) {
    // A directory where the record should be is no file and cannot be created as one.
    ASSERT_EQ(::mkdir(dir.File("TCP.SET").c_str(), 0755), 0);
    Start();
    ASSERT_EQ(interaction.shown.size(), 1u);
    EXPECT_EQ(interaction.shown[0].text, "Cannot create file " + dir.File("TCP.SET"));
    EXPECT_EQ(interaction.shown[0].caption, "Portvale");
    EXPECT_EQ(form->grpTCPSocketType->ItemIndex(), 0) << "runs as with a missing file";
    interaction.shown.clear();
    Click(form->btnSave);
    ASSERT_EQ(interaction.shown.size(), 1u);
    EXPECT_EQ(interaction.shown[0].text, "Cannot create file " + dir.File("TCP.SET"));
}

TEST_F(FormTest, ComPortOnThatFailsLeavesBothButtonsUpAndTriesAgainNextTime) {
    Start();
    form->ComPort1->SetPort("/dev/portvale-no-such-port");
    for (int attempt = 0; attempt < 2; ++attempt) {
        Click(form->btnComPortOn);
        EXPECT_EQ(form->ComPortOn, 0);
        EXPECT_FALSE(form->btnComPortOn->Down());
        EXPECT_FALSE(form->btnComPortOff->Down());
        EXPECT_FALSE(form->ComPort1->Connected());
        EXPECT_EQ(Panel(1), "Cannot open /dev/portvale-no-such-port: No such file or directory");
    }
    EXPECT_TRUE(interaction.shown.empty()) << "no box for a failed Com-Port On";
    // Once the port opens, the failure no longer holds.
    test::Pty pty;
    ASSERT_TRUE(pty.ok());
    form->ComPort1->SetPort(pty.path());
    Click(form->btnComPortOn);
    ASSERT_TRUE(form->ComPort1->Connected());
    EXPECT_EQ(Panel(1), "");
}

TEST_F(FormTest, SerialFlagFromTheFileOpensThePortOnlyWithATcpConnect) {
    test::Pty pty;
    ASSERT_TRUE(pty.ok());
    WriteFileBytes(dir.File("TCP.SET"), Record("localhost", 5000, 0, 1));
    Start();
    form->ComPort1->SetPort(pty.path());
    EXPECT_TRUE(form->btnComPortOn->Down());
    Click(form->btnComPortOn);
    EXPECT_FALSE(form->ComPort1->Connected()) << "Com-Port On does not reopen while the flag is set";
    Click(form->btnConnect);  // mode Off: the serial port opens
    EXPECT_TRUE(form->ComPort1->Connected());
    Click(form->btnComPortOff);
    EXPECT_FALSE(form->ComPort1->Connected());
    EXPECT_TRUE(form->btnComPortOff->Down());
    EXPECT_EQ(form->ComPortOn, 0);
    // The default line settings (odd parity) on a pseudo-terminal, opened again.
    Click(form->btnComPortOn);
    EXPECT_TRUE(form->ComPort1->Connected());
    EXPECT_EQ(form->ComPortOn, 1);
    EXPECT_TRUE(interaction.shown.empty());
}

TEST_F(FormTest, WebLinksOpenTheirAddressesInOrder) {
    Start();
    Click(form->btnWebsite);
    Click(form->btnDonate);
    Click(form->btnHelp);
    EXPECT_EQ(opened, (std::vector<std::string>{kWebsiteUrl, kShopUrl, kProductUrl}));
    EXPECT_EQ(Panel(1), "");

    // No opener installed: said, not silently ignored.
    SetShellOpener([](const std::string&) { return false; });
    Click(form->btnWebsite);
    EXPECT_EQ(Panel(1), "Cannot open https://portvale.org/: no web browser opener (xdg-open) found");
    EXPECT_TRUE(interaction.shown.empty());
}

TEST_F(FormTest, TheShowHandlerKeepsWhatThePanesHold) {
    Start();
    form->redtTCPIPMsg->UserSetText("typed by the user");
    form->redtComPortMsg->UserSetText("and here");
    Guarded([&] { form->FormShow(form.get()); });
    EXPECT_EQ(form->redtTCPIPMsg->Text(), "typed by the user");
    EXPECT_EQ(form->redtComPortMsg->Text(), "and here");
}

TEST_F(FormTest, TheTcpPaneTakesHalfTheLogAreaLessFive) {
    Start();
    for (const auto& [area, pane] : std::vector<std::pair<int, int>>{{484, 237}, {485, 237}, {10, 0}, {4, 0}}) {
        form->pnl4->SetBounds(0, 0, 800, area);
        EXPECT_EQ(form->pnl2->Height(), pane) << area;
        EXPECT_EQ(form->pnl3->Top(), pane) << "the Com pane starts below the TCP pane";
    }
}

}  // namespace
}  // namespace portvale

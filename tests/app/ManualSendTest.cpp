// Manual sending to the serial port (a pseudo-terminal) and to TCP (loopback).
#include "tests/app/FormTestSupport.h"
#include "tests/platform/serial/PtyFixture.h"
#include "tests/sockets/SocketTestSupport.h"

namespace portvale {
namespace {

using test::PumpUntil;

class ManualSendTest : public test::FormTest {
protected:
    ManualSendTest() {
        Start();
        form->ComPort1->SetPort(pty.path());
    }
    test::Pty pty;
    test::ScopedResolver resolver;
};

TEST_F(ManualSendTest, ComSendWritesTheConvertedBytesOnlyWhileThePortIsOpen) {
    ASSERT_TRUE(pty.ok());
    struct Row {
        int format;
        const char* text;
        bool cr, lf;
        std::string wire;
    };
    // With the port closed nothing is written, but a format error still shows.
    form->rdSendFormat->SetItemIndex(mfDecimal);
    form->txbCom->SetText("300");
    Click(form->btnSendCom);
    ASSERT_EQ(interaction.shown.size(), 1u);
    EXPECT_EQ(interaction.shown[0].text, sAbove255);
    EXPECT_EQ(interaction.shown[0].caption, "Format Error");
    EXPECT_EQ(interaction.shown[0].flags, MB_OK | MB_ICONWARNING);
    interaction.shown.clear();
    // A message that converts is not sent, and that is said.
    form->txbCom->SetText("65");
    Click(form->btnSendCom);
    EXPECT_EQ(Panel(1), "Com port is closed");
    EXPECT_TRUE(interaction.shown.empty());

    Click(form->btnComPortOn);
    ASSERT_TRUE(form->ComPort1->Connected());
    for (const Row& row : {Row{mfString, "AT", true, true, "AT\r\n"},
                           Row{mfString, "", false, false, ""},
                           Row{mfBinary, "10001000 10001000", false, false, "\x88\x88"},
                           Row{mfDecimal, "11 22 33 255", true, false, "\x0B\x16\x21\xFF\r"},
                           Row{mfHex, "ff 0A", false, true, "\xFF\x0A\n"}}) {
        SCOPED_TRACE(row.text);
        form->rdSendFormat->SetItemIndex(row.format);
        form->chkCarriageReturn->SetChecked(row.cr);
        form->chkNewLine->SetChecked(row.lf);
        form->txbCom->SetText(row.text);
        Click(form->btnSendCom);
        // A marker behind each message shows where it ends.
        form->rdSendFormat->SetItemIndex(mfHex);
        form->chkCarriageReturn->SetChecked(false);
        form->chkNewLine->SetChecked(false);
        form->txbCom->SetText("7E");
        Click(form->btnSendCom);
        EXPECT_EQ(pty.Receive(row.wire.size() + 1), row.wire + "~");
        EXPECT_EQ(form->txbCom->Text(), "7E") << "the field keeps its text";
    }
    EXPECT_TRUE(interaction.shown.empty());
}

TEST_F(ManualSendTest, FormatErrorsAndUnsendableCharactersSendNothing) {
    ASSERT_TRUE(pty.ok());
    Click(form->btnComPortOn);
    ASSERT_TRUE(form->ComPort1->Connected());
    struct Row {
        int format;
        const char* text;
        std::string error;
    };
    for (const Row& row : {Row{mfBinary, "10201000", sNotBinary}, Row{mfBinary, "1010", sNotBinary},
                           Row{mfDecimal, "12a", sNotDecimal}, Row{mfHex, "4G", sNotHex}, Row{mfHex, "100", sAboveFF},
                           Row{mfString, "\xE2\x82\xAC", "U+20AC"}}) {
        interaction.shown.clear();
        form->rdSendFormat->SetItemIndex(row.format);
        form->txbCom->SetText(row.text);
        Click(form->btnSendCom);
        ASSERT_EQ(interaction.shown.size(), 1u) << row.text;
        EXPECT_NE(interaction.shown[0].text.find(row.error), std::string::npos) << interaction.shown[0].text;
        EXPECT_EQ(interaction.shown[0].caption, "Format Error");
    }
    form->rdSendFormat->SetItemIndex(mfHex);
    form->txbCom->SetText("7E");
    form->chkCarriageReturn->SetChecked(false);
    form->chkNewLine->SetChecked(false);
    Click(form->btnSendCom);
    EXPECT_EQ(pty.Receive(1), "~") << "no byte of the failed messages, not even a line end";
}

TEST_F(ManualSendTest, EnterInTheTcpFieldSendsLikeTheButtonAndSelectsTheText) {
    test::PosixListener server;
    form->grpTCPSocketType->SetItemIndex(1);
    form->txbHost->SetText(test::kKnownHost);
    form->txbPort->SetText(std::to_string(server.Port()));
    Click(form->btnConnect);
    ASSERT_TRUE(PumpUntil([&] { return form->TcpConnected == 1; }));
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);

    form->txbSendMessage->SetText("hello \xC3\xA9");
    char key = '\r';
    Guarded([&] { key = form->txbSendMessage->KeyPress(key); });
    EXPECT_EQ(key, '\r') << "the key is passed on";
    EXPECT_EQ(test::ReadExactPosix(peer, 9), "hello \xE9\r\n");
    EXPECT_EQ(form->txbSendMessage->SelStart(), 0);
    EXPECT_EQ(form->txbSendMessage->SelLength(), 7);

    Guarded([&] { form->txbSendMessage->KeyPress('x'); });
    form->txbCom->SetText("not for TCP");
    Guarded([&] { form->txbCom->KeyPress('\r'); });
    form->rdSendFormat->SetItemIndex(mfDecimal);
    form->txbSendMessage->SetText("65");
    Click(form->btnTCPSendMessage);
    EXPECT_EQ(test::ReadExactPosix(peer, 3), "A\r\n") << "only the button's send after the Enter";
    ::close(peer);
    EXPECT_TRUE(interaction.shown.empty());
}

TEST_F(ManualSendTest, EnterInTheComFieldSendsLikeTheButtonAndSelectsTheText) {
    ASSERT_TRUE(pty.ok());
    Click(form->btnComPortOn);
    ASSERT_TRUE(form->ComPort1->Connected());
    form->txbCom->SetText("AT+GMR");
    char key = 'x';
    Guarded([&] { key = form->txbCom->KeyPress(key); });
    EXPECT_EQ(key, 'x') << "other keys are typing";
    key = '\r';
    Guarded([&] { key = form->txbCom->KeyPress(key); });
    EXPECT_EQ(key, '\r') << "the key is passed on";
    EXPECT_EQ(pty.Receive(8), "AT+GMR\r\n");
    EXPECT_EQ(form->txbCom->SelStart(), 0);
    EXPECT_EQ(form->txbCom->SelLength(), 6);
    EXPECT_TRUE(interaction.shown.empty());
}

}  // namespace
}  // namespace portvale

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/serial/TermiosLineSettings.h"

namespace portvale {
namespace {

DCB Dcb(std::uint8_t size, std::uint8_t parity, std::uint8_t stop, std::uint32_t flags = 0) {
    DCB dcb;
    dcb.BaudRate = 9600;
    dcb.ByteSize = size;
    dcb.Parity = parity;
    dcb.StopBits = stop;
    dcb.Flags = fDCB_Binary | flags;
    dcb.XonChar = 17;
    dcb.XoffChar = 19;
    return dcb;
}

termios Built(const DCB& dcb, LineRequest* request = nullptr) {
    termios t{};
    LineRequest r;
    EXPECT_EQ(ApplyDcbToTermios(dcb, t, r), 0);
    if (request) *request = r;
    return t;
}

TEST(TermiosLineSettings, FrameFormatFlags) {
    struct Row {
        std::uint8_t size, parity, stop;
        tcflag_t expectedCflag;  // within CSIZE|CSTOPB|PARENB|PARODD|CMSPAR
    };
    const Row rows[] = {
        {8, NOPARITY, ONESTOPBIT, CS8},
        {7, EVENPARITY, ONESTOPBIT, CS7 | PARENB},
        {7, ODDPARITY, TWOSTOPBITS, CS7 | PARENB | PARODD | CSTOPB},
        {6, MARKPARITY, ONESTOPBIT, CS6 | PARENB | PARODD | CMSPAR},
        {5, SPACEPARITY, ONE5STOPBITS, CS5 | PARENB | CMSPAR | CSTOPB},
    };
    const tcflag_t frame = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR;
    for (const auto& row : rows) {
        const termios t = Built(Dcb(row.size, row.parity, row.stop));
        EXPECT_EQ(t.c_cflag & frame, row.expectedCflag) << int(row.size) << "/" << int(row.parity);
        EXPECT_TRUE(t.c_cflag & CLOCAL);
        EXPECT_TRUE(t.c_cflag & CREAD);
        EXPECT_EQ(t.c_cc[VMIN], 1);
        EXPECT_EQ(t.c_cc[VTIME], 0);
        EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
        EXPECT_FALSE(t.c_oflag & OPOST);
    }
}

TEST(TermiosLineSettings, FlowControlAndErrorChecking) {
    struct Row {
        const char* what;
        std::uint32_t flags;
        tcflag_t cflag, iflag;  // expected within CRTSCTS and IXON|IXOFF|INPCK|PARMRK
    };
    const Row rows[] = {
        {"none", 0, 0, 0},
        {"cts output flow", fDCB_OutxCtsFlow, CRTSCTS, 0},
        {"rts handshake", RTS_CONTROL_HANDSHAKE << fDCB_RtsControlShift, CRTSCTS, 0},
        {"rts enable only", RTS_CONTROL_ENABLE << fDCB_RtsControlShift, 0, 0},
        {"xon/xoff out", fDCB_OutX, 0, IXON},
        {"xon/xoff in", fDCB_InX, 0, IXOFF},
        {"parity check marks errors", fDCB_Parity, 0, INPCK | PARMRK},
    };
    for (const auto& row : rows) {
        const termios t = Built(Dcb(8, EVENPARITY, ONESTOPBIT, row.flags));
        EXPECT_EQ(t.c_cflag & CRTSCTS, row.cflag) << row.what;
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK | PARMRK), row.iflag) << row.what;
        EXPECT_EQ(t.c_cc[VSTART], 17) << row.what;
        EXPECT_EQ(t.c_cc[VSTOP], 19) << row.what;
    }
}

TEST(TermiosLineSettings, RefusesWhatTheLineCannotCarry) {
    struct Row {
        const char* what;
        DCB dcb;
    };
    DCB zeroRate = Dcb(8, NOPARITY, ONESTOPBIT);
    zeroRate.BaudRate = 0;
    DCB sameChars = Dcb(8, NOPARITY, ONESTOPBIT, fDCB_OutX);
    sameChars.XoffChar = sameChars.XonChar;
    const Row rows[] = {
        {"rate 0", zeroRate},
        {"4 data bits", Dcb(4, NOPARITY, ONESTOPBIT)},
        {"9 data bits", Dcb(9, NOPARITY, ONESTOPBIT)},
        {"parity code 5", Dcb(8, 5, ONESTOPBIT)},
        {"stop-bit code 3", Dcb(8, NOPARITY, 3)},
        {"1.5 stop bits with 8 data bits", Dcb(8, NOPARITY, ONE5STOPBITS)},
        {"2 stop bits with 5 data bits", Dcb(5, NOPARITY, TWOSTOPBITS)},
        {"equal XON and XOFF characters", sameChars},
    };
    for (const auto& row : rows) {
        termios t{};
        LineRequest r;
        EXPECT_EQ(ApplyDcbToTermios(row.dcb, t, r), EINVAL) << row.what;
    }
}

TEST(TermiosLineSettings, RatesOutsideTheTableAskForACustomDivisor) {
    struct Row {
        std::uint32_t rate;
        bool custom;
    };
    const Row rows[] = {{110, false}, {9600, false}, {115200, false}, {921600, false},
                        {14400, true}, {56000, true}, {128000, true}, {250000, true}};
    for (const auto& row : rows) {
        DCB dcb = Dcb(8, NOPARITY, ONESTOPBIT);
        dcb.BaudRate = row.rate;
        LineRequest request;
        const termios t = Built(dcb, &request);
        EXPECT_EQ(request.customRate, row.custom) << row.rate;
        if (!row.custom) {
            EXPECT_EQ(RateOfSpeedCode(::cfgetospeed(&t)), row.rate);
            EXPECT_EQ(t.c_cflag & CIBAUD, 0u) << row.rate;
        }
    }
}

TEST(TermiosLineSettings, PseudoTerminalsAreKnownByTheirMajorNumber) {
    struct Row {
        unsigned major;
        bool pty;
        const char* what;
    };
    const Row rows[] = {
        {136, true, "first UNIX98 pty slave major"},
        {143, true, "last UNIX98 pty slave major"},
        {3, true, "BSD pty slave"},
        {135, false, "UNIX98 pty master"},
        {144, false, "past the UNIX98 slaves"},
        {2, false, "BSD pty master"},
        {4, false, "ttyS UART"},
        {5, false, "/dev/tty, ptmx"},
        {166, false, "ttyACM"},
        {188, false, "ttyUSB"},
        {204, false, "ttyAMA and other low-density UARTs"},
    };
    for (const auto& row : rows) EXPECT_EQ(IsPseudoTerminalMajor(row.major), row.pty) << row.what;
}

TEST(TermiosLineSettings, APtyIsAskedFor8DataBitsWithoutParityAndAllElseAsSet) {
    struct Row {
        std::uint8_t size, parity, stop;
        std::uint32_t flags;
    };
    const Row rows[] = {
        {8, NOPARITY, ONESTOPBIT, 0},
        {8, ODDPARITY, ONESTOPBIT, fDCB_Parity},
        {7, EVENPARITY, TWOSTOPBITS, fDCB_OutxCtsFlow | fDCB_OutX},
        {6, MARKPARITY, ONESTOPBIT, fDCB_InX},
        {5, SPACEPARITY, ONE5STOPBITS, 0},
    };
    const tcflag_t frame = CSIZE | PARENB | PARODD | CMSPAR;
    for (const auto& row : rows) {
        DCB dcb = Dcb(row.size, row.parity, row.stop, row.flags);
        dcb.BaudRate = 38400;
        const termios asked = Built(dcb);
        termios fitted = asked;
        FitFrameToPseudoTerminal(fitted);
        const std::string what = std::to_string(row.size) + "/" + std::to_string(row.parity);
        EXPECT_EQ(fitted.c_cflag & frame, static_cast<tcflag_t>(CS8)) << what;
        EXPECT_EQ(fitted.c_cflag & ~frame, asked.c_cflag & ~frame) << what;
        EXPECT_EQ(fitted.c_iflag, asked.c_iflag) << what;
        EXPECT_EQ(fitted.c_oflag, asked.c_oflag) << what;
        EXPECT_EQ(fitted.c_lflag, asked.c_lflag) << what;
        EXPECT_EQ(std::memcmp(fitted.c_cc, asked.c_cc, sizeof asked.c_cc), 0) << what;
        EXPECT_EQ(::cfgetospeed(&fitted), B38400) << what;
    }
}

TEST(TermiosLineSettings, ControlBlockReadBackFromALine) {
    DCB dcb = Dcb(7, MARKPARITY, TWOSTOPBITS, fDCB_OutxCtsFlow | fDCB_OutX | fDCB_Parity);
    dcb.BaudRate = 19200;
    const DCB back = DcbFromTermios(Built(dcb));
    EXPECT_EQ(back.BaudRate, 19200u);
    EXPECT_EQ(back.ByteSize, 7);
    EXPECT_EQ(back.Parity, MARKPARITY);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    EXPECT_TRUE(back.Flags & fDCB_OutxCtsFlow);
    EXPECT_TRUE(back.Flags & fDCB_OutX);
    EXPECT_TRUE(back.Flags & fDCB_Parity);
    EXPECT_EQ(back.XonChar, 17);
    EXPECT_EQ(back.XoffChar, 19);
}

}  // namespace
}  // namespace portvale

#include "platform/serial/TermiosLineSettings.h"

#include <linux/major.h>

#include <cerrno>
#include <iterator>

namespace portvale {

namespace {

struct SpeedEntry {
    std::uint32_t rate;
    speed_t code;
};

constexpr SpeedEntry kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool FlowOn(const DCB& dcb, std::uint32_t bit) { return (dcb.Flags & bit) != 0; }

std::uint32_t Field(const DCB& dcb, std::uint32_t mask, std::uint32_t shift) {
    return (dcb.Flags & mask) >> shift;
}

}  // namespace

speed_t StandardSpeedCode(std::uint32_t rate) {
    for (const auto& e : kSpeeds)
        if (e.rate == rate) return e.code;
    return B0;
}

std::uint32_t RateOfSpeedCode(speed_t code) {
    for (const auto& e : kSpeeds)
        if (e.code == code) return e.rate;
    return 0;
}

void MakeRawLine(termios& t) {
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    // With O_NONBLOCK, VMIN=1/VTIME=0 makes an empty queue read as EAGAIN and a hung
    // up line as 0 or EIO; VMIN=0 would make both read as 0. poll/epoll readiness
    // also follows VMIN, so it must stay at 1 for a wake-up per arrival.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

int ApplyDcbToTermios(const DCB& dcb, termios& t, LineRequest& request) {
    if (dcb.BaudRate == 0) return EINVAL;
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return EINVAL;
    if (dcb.Parity > SPACEPARITY || dcb.StopBits > TWOSTOPBITS) return EINVAL;
    if (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) return EINVAL;
    if (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5) return EINVAL;
    const bool outX = FlowOn(dcb, fDCB_OutX), inX = FlowOn(dcb, fDCB_InX);
    if ((outX || inX) && dcb.XonChar == dcb.XoffChar) return EINVAL;

    MakeRawLine(t);

    const speed_t code = StandardSpeedCode(dcb.BaudRate);
    request.customRate = code == B0;
    if (!request.customRate) {
        ::cfsetospeed(&t, code);
        ::cfsetispeed(&t, code);
        // glibc's cfsetispeed leaves the separate input-rate field alone; a BOTHER left
        // there by an earlier custom rate would keep the receiver at that rate.
        t.c_cflag &= ~CIBAUD;
    }

    t.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[dcb.ByteSize - 5];
    // On 5-bit lines the UART sends 1.5 stop bits where CSTOPB asks for two.
    if (dcb.StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;
    switch (dcb.Parity) {
        case ODDPARITY: t.c_cflag |= PARENB | PARODD; break;
        case EVENPARITY: t.c_cflag |= PARENB; break;
        // CMSPAR turns the odd/even choice into a fixed bit: PARODD gives mark (1).
        case MARKPARITY: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
        case SPACEPARITY: t.c_cflag |= PARENB | CMSPAR; break;
        default: break;
    }
    // Linux has one switch for both halves of hardware handshake: it stops output
    // while CTS is low and drives RTS from the input queue's fill level.
    const std::uint32_t rts = Field(dcb, fDCB_RtsControlMask, fDCB_RtsControlShift);
    if (FlowOn(dcb, fDCB_OutxCtsFlow) || rts == RTS_CONTROL_HANDSHAKE) t.c_cflag |= CRTSCTS;

    t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | PARMRK | IGNPAR);
    if (outX) t.c_iflag |= IXON;
    if (inX) t.c_iflag |= IXOFF;
    // Without PARMRK the line discipline hands a byte received with a parity or
    // framing error on as 0x00, which would corrupt data whenever checking is on.
    // With it the byte arrives marked (0xFF 0x00 byte, a real 0xFF doubled), and the
    // backend decodes the marks into the byte or the replacement character.
    if (FlowOn(dcb, fDCB_Parity)) t.c_iflag |= INPCK | PARMRK;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    return 0;
}

bool IsPseudoTerminalMajor(unsigned major) {
    return major == PTY_SLAVE_MAJOR ||
           (major >= UNIX98_PTY_SLAVE_MAJOR && major < UNIX98_PTY_SLAVE_MAJOR + UNIX98_PTY_MAJOR_COUNT);
}

void FitFrameToPseudoTerminal(termios& t) {
    // The kernel's pty driver (pty_set_termios) clears CSIZE and PARENB and sets CS8
    // on every TCSETS, and glibc's tcsetattr reads the settings back afterwards and
    // fails with EINVAL when none of the requested change was kept. Asking for parity
    // or fewer data bits would so fail whenever nothing else changes, e.g. on every
    // reopen of the same pty with the same settings.
    // PARODD and CMSPAR are kept by the driver but mean nothing without PARENB; they
    // go too, so no stale parity choice stays on the device.
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR);
    t.c_cflag |= CS8;
}

DCB DcbFromTermios(const termios& t) {
    DCB dcb;
    dcb.BaudRate = RateOfSpeedCode(::cfgetospeed(&t));
    dcb.Flags = fDCB_Binary | (DTR_CONTROL_ENABLE << fDCB_DtrControlShift);
    if (t.c_cflag & CRTSCTS)
        dcb.Flags |= fDCB_OutxCtsFlow | (RTS_CONTROL_HANDSHAKE << fDCB_RtsControlShift);
    else
        dcb.Flags |= RTS_CONTROL_ENABLE << fDCB_RtsControlShift;
    if (t.c_iflag & IXON) dcb.Flags |= fDCB_OutX;
    if (t.c_iflag & IXOFF) dcb.Flags |= fDCB_InX;
    if (t.c_iflag & INPCK) dcb.Flags |= fDCB_Parity;
    switch (t.c_cflag & CSIZE) {
        case CS5: dcb.ByteSize = 5; break;
        case CS6: dcb.ByteSize = 6; break;
        case CS7: dcb.ByteSize = 7; break;
        default: dcb.ByteSize = 8; break;
    }
    if (!(t.c_cflag & PARENB))
        dcb.Parity = NOPARITY;
    else if (t.c_cflag & CMSPAR)
        dcb.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        dcb.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    if (t.c_cflag & CSTOPB) dcb.StopBits = dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    return dcb;
}

}  // namespace portvale

#pragma once
// Translation between the device control block and termios line settings. Pure
// functions on a termios record; the backend reads and writes the device.

#include <termios.h>

#include <cstdint>

#include "platform/serial/SerialApi.h"

namespace portvale {

// The termios speed code for a rate of the kernel's table, or B0 when the rate needs
// a custom divisor (termios2).
speed_t StandardSpeedCode(std::uint32_t rate);
// Bits per second of a speed code; 0 for B0 and for codes outside the table.
std::uint32_t RateOfSpeedCode(speed_t code);

// Raw byte transport: no line editing, echo, signals or output processing; modem
// status lines do not gate the open or reads (CLOCAL); a read wakes per byte.
void MakeRawLine(termios& t);

struct LineRequest {
    bool customRate = false;  // the rate is not in the table: set it with termios2
};

// Writes the line format and flow control of dcb into t (which keeps its speed when
// the rate is custom). Returns 0, or EINVAL for what the line cannot carry: a rate
// of 0, a byte size outside 5..8, an unknown parity or stop-bit code, 1.5 stop bits
// with more than 5 data bits, 2 stop bits with 5 data bits, and equal XON and XOFF
// characters while XON/XOFF is on (the combinations Windows refuses too).
int ApplyDcbToTermios(const DCB& dcb, termios& t, LineRequest& request);

// Whether a character device of this major number is a pseudo-terminal slave: the
// UNIX98 ones (/dev/pts/N, majors 136-143) or the legacy BSD ones (major 3).
bool IsPseudoTerminalMajor(unsigned major);

// Narrows the frame of t to what a pseudo-terminal keeps: 8 data bits and no parity
// (stop bits and everything else stay as asked). A pty has no line: byte size and
// parity mean nothing there, like the speed.
void FitFrameToPseudoTerminal(termios& t);

// The control block a line set up as in t stands for (used before the first
// SetCommState, so GetCommState reports the line as it is).
DCB DcbFromTermios(const termios& t);

}  // namespace portvale

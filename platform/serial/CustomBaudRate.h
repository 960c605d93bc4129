#pragma once
// Bit rates outside the termios speed table, through the kernel's termios2 interface.
// The implementation lives in a file of its own because <asm/termbits.h>, which
// declares termios2, redefines what glibc's <termios.h> declares; nothing else may
// include both.

#include <cstdint>

namespace portvale {

// Sets both directions of fd to rate (BOTHER) and reads back what the driver made of
// it into actual. Returns 0 or an errno value.
int SetCustomBaudRate(int fd, std::uint32_t rate, std::uint32_t& actual);

// The output rate the driver runs fd at, whether set from the speed table or as a
// custom rate. Returns 0 or an errno value.
int ReadBackBaudRate(int fd, std::uint32_t& actual);

}  // namespace portvale

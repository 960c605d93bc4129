#include "platform/serial/CustomBaudRate.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace portvale {

namespace {

int Ioctl(int fd, unsigned long request, termios2* t) {
    int r;
    do {
        r = ::ioctl(fd, request, t);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? errno : 0;
}

}  // namespace

int SetCustomBaudRate(int fd, std::uint32_t rate, std::uint32_t& actual) {
    termios2 t{};
    if (int err = Ioctl(fd, TCGETS2, &t)) return err;
    // Both the output (CBAUD) and the input (CIBAUD) code must say BOTHER: an input
    // code left at an old Bnnn value would keep the receiver at that rate.
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = rate;
    t.c_ospeed = rate;
    if (int err = Ioctl(fd, TCSETS2, &t)) return err;
    // Drivers round to what their clock divisor can make, and some silently fall back
    // to another rate; only the read-back tells.
    if (int err = Ioctl(fd, TCGETS2, &t)) return err;
    actual = t.c_ospeed;
    return 0;
}

int ReadBackBaudRate(int fd, std::uint32_t& actual) {
    termios2 t{};
    if (int err = Ioctl(fd, TCGETS2, &t)) return err;
    // The kernel fills c_ospeed from the Bnnn code on every set, and drivers that
    // cannot make the rate write back the one they chose.
    actual = t.c_ospeed;
    return 0;
}

}  // namespace portvale

#pragma once
// A virtual serial device: a pseudo-terminal whose slave a program opens by a path of
// our choosing (a symbolic link), while the port component reads and writes the
// master under the port name "pty:PATH". The program's line settings cannot reach a
// wire, so they are watched instead: the master runs in packet mode and the slave
// has EXTPROC, which makes every settings change a status packet on the master; the
// termios backend turns those packets into a readable StatusFd().
//
// What a pty keeps of a program's request: the speed, the stop bits, the flow
// control and PARODD/CMSPAR. It drops the byte size and PARENB, and glibc refuses
// (EINVAL) a change that differs only in those from what the slave holds. So after
// each change is read, the slave is put back on a resting speed no program asks for
// (two of them, taken in turn, so the put-back itself is always a change): every
// request a program makes then changes the speed, and succeeds.
//
// Threading: construction, TakeSettingsChange and destruction on one thread; the
// registry that lets the backend find the master is safe from any thread.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

struct termios;

namespace portvale {

// Who may open the slave.
struct VirtualDeviceAccess {
    mode_t mode = 0660;
    std::string group = "dialout";  // empty: leave the group as the system made it
};

// The line settings a program asked of the slave, as far as a pty keeps them.
struct PtyLineSettings {
    enum class Parity : std::uint8_t { Unstated, Odd, Mark, Space };  // Unstated: none or even, unknown
    enum class Flow : std::uint8_t { None, XonXoff, Hardware };
    std::uint32_t baud = 0;  // 0: not asked for yet (or a resting speed)
    bool twoStopBits = false;
    Parity parity = Parity::Unstated;
    Flow flow = Flow::None;

    bool operator==(const PtyLineSettings&) const = default;
};

// The settings in a slave's termios; a resting speed reads as baud 0.
PtyLineSettings PtyLineSettingsFromTermios(const struct termios& t);

class VirtualDevice {
public:
    // Opens the pair and makes linkPath a symbolic link to the slave, creating missing
    // parent folders. A link into /dev/pts/ whose pty is gone (one we left behind) is
    // replaced; anything else at linkPath is refused. Throws std::runtime_error with a
    // message naming linkPath.
    VirtualDevice(std::string linkPath, VirtualDeviceAccess access);
    // Removes the link if it is still ours.
    ~VirtualDevice();
    VirtualDevice(const VirtualDevice&) = delete;
    VirtualDevice& operator=(const VirtualDevice&) = delete;

    const std::string& LinkPath() const { return linkPath_; }
    const std::string& SlavePath() const { return slavePath_; }
    // The name the port component opens it by.
    std::string PortName() const { return "pty:" + linkPath_; }
    // Readable while a status packet arrived that TakeSettingsChange has not seen.
    int StatusFd() const { return statusFd_; }

    // The slave's settings if they differ from the last ones returned, with a resting
    // speed resolved to the last speed asked for. Puts the slave back on a resting
    // speed (and EXTPROC back on, should the program have cleared it) and empties
    // StatusFd. Cheap enough for every arrival of data.
    std::optional<PtyLineSettings> TakeSettingsChange();
    PtyLineSettings Current() const { return current_; }

private:
    std::string linkPath_;
    std::string slavePath_;
    int masterFd_ = -1;
    int slaveFd_ = -1;  // held so the master never reads EIO while no program has it open
    int statusFd_ = -1;
    PtyLineSettings current_;
    bool nextRestingIsSecond_ = false;
};

// For the termios backend: the master and status descriptors of the virtual device
// named "pty:PATH" (not duplicated), or false.
bool FindVirtualDevice(const std::string& portName, int& masterFd, int& statusFd);

}  // namespace portvale

#pragma once
// The system's serial ports as sysfs and /dev show them: what the registry's
// HARDWARE\DEVICEMAP\SERIALCOMM key lists, and a human description of a port.
//
// A port is listed under the name a port component accepts: bare tty names
// ("ttyUSB0", "ttyS0", "rfcomm0") for the ttys of /sys/class/tty with hardware
// behind them and a node in /dev, and the stable names of /dev/serial/by-id as
// absolute paths ("/dev/serial/by-id/usb-FTDI_..._A50285BI-if00-port0").
//
// Both roots are injectable, so tests build their own trees under a temporary
// directory. Thread-safe.

#include <string>
#include <vector>

namespace portvale::reg {

struct SerialPortEntry {
    std::string valueName;  // the registry value's name: the device's path
    std::string portName;   // the value's data: the name a port accepts
};

// Sorted by device path, as a stable order for the registry to enumerate; callers
// sort the names as they need. Empty when sysfs cannot be read.
std::vector<SerialPortEntry> ListSerialPorts();

// The USB product string of the device behind a port ("FT232R USB UART"), its
// manufacturer when it has no product string, empty when sysfs tells nothing (a
// built-in UART, a Bluetooth link, an unknown name). portName is any name a port
// accepts: "ttyUSB0", "/dev/ttyUSB0", a /dev/serial/by-id path, "COM1".
std::string SerialPortDescription(const std::string& portName);

// The sysfs and /dev roots to read; "" restores "/sys" and "/dev".
void SetSerialDeviceRoots(const std::string& sysfsRoot, const std::string& devRoot);

}  // namespace portvale::reg

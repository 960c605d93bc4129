// Everything this layer reads from sysfs and /dev lives here.
#include "platform/registry/SerialDevices.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <strings.h>

namespace portvale::reg {

namespace {

struct Roots {
    std::string sys = "/sys";
    std::string dev = "/dev";
};

std::mutex gRootsMutex;
Roots gRoots;

Roots CurrentRoots() {
    std::lock_guard lock(gRootsMutex);
    return gRoots;
}

// The tty families that stand for serial hardware. Others in /sys/class/tty are
// consoles, virtual terminals and pseudo-terminals.
constexpr const char* kPortFamilies[] = {"ttyS", "ttyUSB", "ttyACM", "ttyAMA", "ttyXRUSB", "rfcomm"};

bool IsDigits(const std::string& s, std::size_t from) {
    if (from >= s.size()) return false;
    return std::all_of(s.begin() + static_cast<std::ptrdiff_t>(from), s.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

// The family prefix of a port tty name ("ttyS" for "ttyS3"), or null.
const char* FamilyOf(const std::string& name) {
    for (const char* family : kPortFamilies) {
        const std::string prefix = family;
        if (name.compare(0, prefix.size(), prefix) == 0 && IsDigits(name, prefix.size())) return family;
    }
    return nullptr;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// A sysfs attribute's first line without trailing blanks; false when unreadable.
bool ReadAttribute(const std::string& path, std::string& value) {
    std::ifstream in(path);
    if (!in || !std::getline(in, value)) return false;
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back()))) value.pop_back();
    return true;
}

std::string BaseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string LinkTargetName(const std::string& link) {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
    if (n <= 0) return {};
    return BaseName(std::string(buffer, static_cast<std::size_t>(n)));
}

std::string RealPath(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) return {};
    std::string out = resolved;
    std::free(resolved);
    return out;
}

std::vector<std::string> DirectoryEntries(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return names;
    while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] != '.') names.emplace_back(e->d_name);
    }
    ::closedir(d);
    return names;
}

// Whether a port tty has hardware behind it. The 8250 driver registers
// nr_uarts (often 32) ttyS placeholders whether or not a UART answers, and
// opening one fails with EIO. The tty's `type` attribute is the UART type the driver
// found, and 0 (PORT_UNKNOWN) means none: that holds for every uart driver, on the
// older layout (device -> the serial8250 platform device, driver serial8250) and on
// the serial-base bus of 6.5+ kernels (every port bound to the driver "port"), where
// the driver's name no longer tells the two apart. Ttys of other drivers (USB,
// ACM, rfcomm) have no `type` and exist only while their device does. Kernels too
// old for `type` are judged by the driver: the placeholders hang off serial8250,
// while probed ports belong to their bus's driver (serial for PNP, for instance).
bool HasHardware(const std::string& ttyDir, const char* family) {
    std::string type;
    if (ReadAttribute(ttyDir + "/type", type)) return type != "0";
    if (std::string(family) != "ttyS") return true;
    if (!Exists(ttyDir + "/device")) return false;  // no device: a virtual tty
    return LinkTargetName(ttyDir + "/device/driver") != "serial8250";
}

bool ByDevicePath(const SerialPortEntry& a, const SerialPortEntry& b) { return a.valueName < b.valueName; }

// The tty name a port name stands for, for the names a port accepts: the Windows
// form "COMn" is the serial layer's alias of ttyS<n-1>; a path is followed through
// its links, so a by-id name leads to its ttyUSB or ttyACM.
std::string TtyNameOf(std::string name) {
    if (name.rfind("\\\\.\\", 0) == 0) name.erase(0, 4);
    if (name.size() > 3 && name.size() <= 12 && ::strncasecmp(name.c_str(), "COM", 3) == 0 && IsDigits(name, 3)) {
        const unsigned long n = std::strtoul(name.c_str() + 3, nullptr, 10);
        return n >= 1 ? "ttyS" + std::to_string(n - 1) : std::string();
    }
    if (!name.empty() && name.front() == '/') {
        const std::string resolved = RealPath(name);
        return BaseName(resolved.empty() ? name : resolved);
    }
    return name;
}

}  // namespace

void SetSerialDeviceRoots(const std::string& sysfsRoot, const std::string& devRoot) {
    std::lock_guard lock(gRootsMutex);
    gRoots.sys = sysfsRoot.empty() ? "/sys" : sysfsRoot;
    gRoots.dev = devRoot.empty() ? "/dev" : devRoot;
}

std::vector<SerialPortEntry> ListSerialPorts() {
    const Roots roots = CurrentRoots();
    std::vector<SerialPortEntry> ports;
    const std::string classDir = roots.sys + "/class/tty";
    for (const auto& name : DirectoryEntries(classDir)) {
        const char* family = FamilyOf(name);
        if (!family) continue;
        const std::string node = roots.dev + "/" + name;
        // Without its node the name could not be opened (a container that sees the
        // host's sysfs but not its devices).
        if (!Exists(node) || !HasHardware(classDir + "/" + name, family)) continue;
        ports.push_back({node, name});
    }
    // udev's stable names, which survive re-plugging and renumbering; kept only
    // while the device they point to is there.
    const std::string byId = roots.dev + "/serial/by-id";
    for (const auto& entry : DirectoryEntries(byId)) {
        const std::string path = byId + "/" + entry;
        if (Exists(path)) ports.push_back({path, path});
    }
    std::sort(ports.begin(), ports.end(), ByDevicePath);
    return ports;
}

std::string SerialPortDescription(const std::string& portName) {
    const std::string tty = TtyNameOf(portName);
    if (tty.empty() || tty.find('/') != std::string::npos) return {};
    const Roots roots = CurrentRoots();
    const std::string sysRoot = RealPath(roots.sys);
    std::string dir = RealPath(roots.sys + "/class/tty/" + tty + "/device");
    if (sysRoot.empty() || dir.empty()) return {};
    // The tty's device is a USB interface (ACM) or a port below one (usb-serial);
    // the strings belong to the USB device above them, the first with an idVendor.
    for (int depth = 0; depth < 8 && dir.size() > sysRoot.size() && dir.rfind(sysRoot, 0) == 0; ++depth) {
        if (Exists(dir + "/idVendor")) {
            std::string text;
            if (ReadAttribute(dir + "/product", text) && !text.empty()) return text;
            if (ReadAttribute(dir + "/manufacturer", text) && !text.empty()) return text;
            return {};
        }
        dir.erase(dir.find_last_of('/'));
    }
    return {};
}

}  // namespace portvale::reg

#pragma once
// A sysfs and /dev tree in a temporary directory, laid out as the kernel and udev lay
// them out, and installed as the roots the registry reads serial ports from. For
// tests of anything that lists or describes serial ports.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/registry/SerialDevices.h"

namespace portvale::test {

class SysfsTree {
public:
    SysfsTree() {
        char pattern[] = "/tmp/portvale-sysfs-XXXXXX";
        dir = ::mkdtemp(pattern);
        sys = dir + "/sys";
        dev = dir + "/dev";
        std::filesystem::create_directories(sys + "/class/tty");
        std::filesystem::create_directories(dev);
        reg::SetSerialDeviceRoots(sys, dev);
    }
    ~SysfsTree() {
        reg::SetSerialDeviceRoots("", "");
        std::filesystem::remove_all(dir);
    }
    SysfsTree(const SysfsTree&) = delete;
    SysfsTree& operator=(const SysfsTree&) = delete;

    void Write(const std::string& path, const std::string& text) const {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path) << text << "\n";
    }
    void Link(const std::string& target, const std::string& link) const {
        std::filesystem::create_directories(std::filesystem::path(link).parent_path());
        std::filesystem::create_symlink(target, link);
    }
    // A tty: the class entry links to the tty's directory below its device, whose
    // `device` link points back up to the device. deviceDir is relative to
    // sys/devices; an empty type leaves the attribute out; node adds /dev/<name>.
    void AddTty(const std::string& name, const std::string& deviceDir, const std::string& type,
                bool node = true) const {
        const std::string ttyDir = sys + "/devices/" + deviceDir + "/tty/" + name;
        Write(ttyDir + "/dev", "188:0");
        if (!type.empty()) Write(ttyDir + "/type", type);
        Link("../..", ttyDir + "/device");
        Link("../../devices/" + deviceDir + "/tty/" + name, sys + "/class/tty/" + name);
        if (node) Write(dev + "/" + name, "");
    }
    // A USB device's string attributes; an empty one is left out.
    void AddUsbDevice(const std::string& deviceDir, const std::string& product, const std::string& maker) const {
        Write(sys + "/devices/" + deviceDir + "/idVendor", "0403");
        if (!product.empty()) Write(sys + "/devices/" + deviceDir + "/product", product);
        if (!maker.empty()) Write(sys + "/devices/" + deviceDir + "/manufacturer", maker);
    }
    // A udev stable name for a tty; returns its path.
    std::string AddById(const std::string& id, const std::string& ttyName) const {
        const std::string path = dev + "/serial/by-id/" + id;
        Link("../../" + ttyName, path);
        return path;
    }

    std::string dir, sys, dev;
};

}  // namespace portvale::test

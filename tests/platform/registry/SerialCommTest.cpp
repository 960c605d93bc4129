// HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM and port descriptions, read from
// sysfs and /dev trees built in a temporary directory the way the kernel and udev
// lay them out.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/registry/Registry.h"
#include "platform/registry/SerialDevices.h"

namespace portvale::reg {
namespace {

namespace fs = std::filesystem;

class SerialCommTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/portvale-sysfs-XXXXXX";
        dir = ::mkdtemp(pattern);
        sys = dir + "/sys";
        dev = dir + "/dev";
        fs::create_directories(sys + "/class/tty");
        fs::create_directories(dev);
        SetSerialDeviceRoots(sys, dev);
    }
    void TearDown() override {
        SetSerialDeviceRoots("", "");
        fs::remove_all(dir);
    }

    void Write(const std::string& path, const std::string& text) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path) << text << "\n";
    }
    void Link(const std::string& target, const std::string& link) {
        fs::create_directories(fs::path(link).parent_path());
        fs::create_symlink(target, link);
    }
    // A tty as the kernel shows it: the class entry links to the tty's directory
    // below its device, whose `device` link points back up to the device.
    // deviceDir is relative to sys/devices; type "" leaves the attribute out.
    void AddTty(const std::string& name, const std::string& deviceDir, const std::string& type,
                bool node = true) {
        const std::string ttyDir = sys + "/devices/" + deviceDir + "/tty/" + name;
        Write(ttyDir + "/dev", "188:0");
        if (!type.empty()) Write(ttyDir + "/type", type);
        Link("../..", ttyDir + "/device");
        Link("../../devices/" + deviceDir + "/tty/" + name, sys + "/class/tty/" + name);
        if (node) Write(dev + "/" + name, "");
    }
    void AddUsbDevice(const std::string& deviceDir, const std::string& product, const std::string& maker) {
        Write(sys + "/devices/" + deviceDir + "/idVendor", "0403");
        if (!product.empty()) Write(sys + "/devices/" + deviceDir + "/product", product);
        if (!maker.empty()) Write(sys + "/devices/" + deviceDir + "/manufacturer", maker);
    }
    // The machine of most tests: real and placeholder UARTs, USB and ACM adapters,
    // and the ttys that are not serial ports at all.
    void BuildMachine() {
        AddTty("ttyS0", "pnp0/00:05/00:05:0/00:05:0.0", "4");
        AddTty("ttyS1", "platform/serial8250/serial8250:0/serial8250:0.1", "0");
        Link("../../../bus/platform/drivers/serial8250", sys + "/devices/platform/serial8250/driver");
        AddTty("ttyS2", "platform/serial8250", "");  // before `type`: judged by driver
        AddTty("ttyS3", "pnp0/00:06", "");
        Link("../../../bus/pnp/drivers/serial", sys + "/devices/pnp0/00:06/driver");
        AddUsbDevice("usb1/1-2", "FT232R USB UART", "FTDI");
        AddTty("ttyUSB0", "usb1/1-2/1-2:1.0/ttyUSB0", "");
        AddUsbDevice("usb1/1-3", "", "Arduino (www.arduino.cc)");
        AddTty("ttyACM0", "usb1/1-3/1-3:1.0", "");
        AddTty("ttyUSB1", "usb1/1-4/1-4:1.0/ttyUSB1", "", /*node=*/false);
        AddTty("ttyAMA0", "platform/fe201000.serial", "32");
        AddTty("rfcomm0", "virtual/tty", "");
        AddTty("ttyXRUSB0", "usb1/1-5/1-5:1.0", "");
        AddTty("tty0", "virtual/tty", "");
        AddTty("console", "virtual/tty", "");
        Link("../../ttyUSB0", dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
        Link("../../ttyUSB9", dev + "/serial/by-id/usb-gone-if00");
    }

    std::vector<std::pair<std::string, std::string>> ReadSerialComm() {
        HKEY key = 0;
        EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key),
                  ERROR_SUCCESS);
        std::vector<std::pair<std::string, std::string>> values;
        for (DWORD i = 0;; ++i) {
            char name[256];
            DWORD nameSize = sizeof name;
            char data[256];
            DWORD dataSize = sizeof data;
            DWORD type = REG_NONE;
            const LSTATUS rc = RegEnumValue(key, i, name, &nameSize, &type, data, &dataSize);
            if (rc != ERROR_SUCCESS) {
                EXPECT_EQ(rc, ERROR_NO_MORE_ITEMS);
                break;
            }
            EXPECT_EQ(type, REG_SZ);
            values.emplace_back(name, data);
        }
        RegCloseKey(key);
        return values;
    }

    std::string dir, sys, dev;
};

TEST_F(SerialCommTest, ListsPortsWithHardwareAndStableNames) {
    BuildMachine();
    const std::string byId = dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    const std::vector<std::pair<std::string, std::string>> expected = {
        {byId, byId},
        {dev + "/rfcomm0", "rfcomm0"},
        {dev + "/ttyACM0", "ttyACM0"},
        {dev + "/ttyAMA0", "ttyAMA0"},
        {dev + "/ttyS0", "ttyS0"},
        {dev + "/ttyS3", "ttyS3"},
        {dev + "/ttyUSB0", "ttyUSB0"},
        {dev + "/ttyXRUSB0", "ttyXRUSB0"},
    };
    EXPECT_EQ(ReadSerialComm(), expected);
}

TEST_F(SerialCommTest, KeyIsReadOnlyAndKeepsTheListItWasOpenedWith) {
    AddTty("ttyUSB0", "usb1/1-2/1-2:1.0/ttyUSB0", "");
    HKEY key = 0;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_ALL_ACCESS, &key),
              ERROR_ACCESS_DENIED);
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "hardware\\devicemap\\serialcomm", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    const char data[] = "x";
    EXPECT_EQ(RegSetValueEx(key, "v", REG_SZ, data, sizeof data), ERROR_ACCESS_DENIED);
    AddTty("ttyACM0", "usb1/1-3/1-3:1.0", "");
    char name[64];
    DWORD nameSize = sizeof name;
    EXPECT_EQ(RegEnumValue(key, 0, name, &nameSize, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    nameSize = sizeof name;
    EXPECT_EQ(RegEnumValue(key, 1, name, &nameSize, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);
    EXPECT_EQ(ReadSerialComm().size(), 2u);
}

TEST_F(SerialCommTest, NoPortsMeansNoKey) {
    AddTty("ttyS1", "platform/serial8250/serial8250:0/serial8250:0.1", "0");
    AddTty("tty0", "virtual/tty", "");
    HKEY key = 0;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(SerialCommTest, DescriptionComesFromTheUsbDeviceAboveThePort) {
    BuildMachine();
    // A stray idVendor above the sysfs root must not be taken for the device's.
    Write(dir + "/idVendor", "dead");
    Write(dir + "/product", "outside sysfs");
    const struct {
        std::string port;
        std::string expected;
    } cases[] = {
        {"ttyUSB0", "FT232R USB UART"},
        {dev + "/ttyUSB0", "FT232R USB UART"},
        {dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "FT232R USB UART"},
        {"ttyACM0", "Arduino (www.arduino.cc)"},  // no product string: the maker
        {"ttyXRUSB0", ""},                        // USB, but no device strings in this tree
        {"ttyS0", ""},
        {"COM1", ""},
        {"rfcomm0", ""},
        {"ttyUSB7", ""},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(SerialPortDescription(c.port), c.expected) << c.port;
}

}  // namespace
}  // namespace portvale::reg

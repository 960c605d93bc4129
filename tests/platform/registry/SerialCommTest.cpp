// HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM and port descriptions, read from
// sysfs and /dev trees built in a temporary directory the way the kernel and udev
// lay them out.
#include <gtest/gtest.h>

#include "platform/registry/Registry.h"
#include "platform/registry/SerialDevices.h"
#include "tests/platform/registry/SysfsTree.h"

namespace portvale::reg {
namespace {

class SerialCommTest : public ::testing::Test {
protected:
    // The machine of most tests: real and placeholder UARTs, USB and ACM adapters,
    // and the ttys that are not serial ports at all.
    void BuildMachine() {
        tree.AddTty("ttyS0", "pnp0/00:05/00:05:0/00:05:0.0", "4");
        tree.AddTty("ttyS1", "platform/serial8250/serial8250:0/serial8250:0.1", "0");
        tree.Link("../../../bus/platform/drivers/serial8250", sys + "/devices/platform/serial8250/driver");
        tree.AddTty("ttyS2", "platform/serial8250", "");  // before `type`: judged by driver
        tree.AddTty("ttyS3", "pnp0/00:06", "");
        tree.Link("../../../bus/pnp/drivers/serial", sys + "/devices/pnp0/00:06/driver");
        tree.AddUsbDevice("usb1/1-2", "FT232R USB UART", "FTDI");
        tree.AddTty("ttyUSB0", "usb1/1-2/1-2:1.0/ttyUSB0", "");
        tree.AddUsbDevice("usb1/1-3", "", "Arduino (www.arduino.cc)");
        tree.AddTty("ttyACM0", "usb1/1-3/1-3:1.0", "");
        tree.AddTty("ttyUSB1", "usb1/1-4/1-4:1.0/ttyUSB1", "", /*node=*/false);
        tree.AddTty("ttyAMA0", "platform/fe201000.serial", "32");
        tree.AddTty("rfcomm0", "virtual/tty", "");
        tree.AddTty("ttyXRUSB0", "usb1/1-5/1-5:1.0", "");
        tree.AddTty("tty0", "virtual/tty", "");
        tree.AddTty("console", "virtual/tty", "");
        tree.AddById("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "ttyUSB0");
        tree.AddById("usb-gone-if00", "ttyUSB9");
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

    test::SysfsTree tree;
    const std::string& dir = tree.dir;
    const std::string& sys = tree.sys;
    const std::string& dev = tree.dev;
};

TEST_F(SerialCommTest, ListsPortsWithHardwareAndStableNames) {
    BuildMachine();
    const std::string byId = dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    const std::vector<std::pair<std::string, std::string>> expected = {
        {dev + "/rfcomm0", "rfcomm0"},
        {byId, byId},
        {dev + "/ttyACM0", "ttyACM0"},
        {dev + "/ttyAMA0", "ttyAMA0"},
        {dev + "/ttyS0", "ttyS0"},
        {dev + "/ttyS3", "ttyS3"},
        {dev + "/ttyUSB0", "ttyUSB0"},
        {dev + "/ttyXRUSB0", "ttyXRUSB0"},
    };
    EXPECT_EQ(ReadSerialComm(), expected);
}

TEST_F(SerialCommTest, KeyKeepsTheListItWasOpenedWith) {
    tree.AddTty("ttyUSB0", "usb1/1-2/1-2:1.0/ttyUSB0", "");
    HKEY key = 0;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "hardware\\devicemap\\serialcomm", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    tree.AddTty("ttyACM0", "usb1/1-3/1-3:1.0", "");
    char name[64];
    DWORD nameSize = sizeof name;
    EXPECT_EQ(RegEnumValue(key, 0, name, &nameSize, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    nameSize = sizeof name;
    EXPECT_EQ(RegEnumValue(key, 1, name, &nameSize, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);
    EXPECT_EQ(ReadSerialComm().size(), 2u);
}

TEST_F(SerialCommTest, NoPortsMeansNoKey) {
    tree.AddTty("ttyS1", "platform/serial8250/serial8250:0/serial8250:0.1", "0");
    tree.AddTty("tty0", "virtual/tty", "");
    HKEY key = 0;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(SerialCommTest, DescriptionComesFromTheUsbDeviceAboveThePort) {
    BuildMachine();
    // A stray idVendor above the sysfs root must not be taken for the device's.
    tree.Write(dir + "/idVendor", "dead");
    tree.Write(dir + "/product", "outside sysfs");
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

// The port list: the registry's SERIALCOMM names sorted as text without regard to
// case, and the registry error when they cannot be read.
#include <gtest/gtest.h>

#include "comport/ComPort.h"
#include "framework/StringList.h"
#include "tests/platform/registry/SysfsTree.h"

namespace portvale {
namespace {

std::string CodeOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const EComPort& e) {
        return std::to_string(e.ComCode()) + " " + std::to_string(e.SystemCode()) + " " + e.Message();
    }
    return "(nothing raised)";
}

TEST(EnumComPortsTest, NamesSortedAsTextWithoutRegardToCase) {
    test::SysfsTree tree;
    for (const char* name : {"ttyS2", "ttyS10", "ttyS1"}) tree.AddTty(name, "pnp0/" + std::string(name), "4");
    tree.AddTty("ttyUSB0", "usb1/1-2/1-2:1.0/ttyUSB0", "");
    tree.AddTty("rfcomm0", "virtual/tty", "");
    // By device path this comes after /dev/rfcomm0; as a name, "/" sorts first.
    const std::string byId = tree.AddById("usb-FTDI_A5-if00-port0", "ttyUSB0");
    TStringList ports;
    ports.Add("stale");
    EnumComPorts(ports);
    EXPECT_EQ(ports.Text(), byId + "\nrfcomm0\nttyS1\nttyS10\nttyS2\nttyUSB0\n");
}

TEST(EnumComPortsTest, UnreadableListRaisesRegistryErrorAndKeepsTheList) {
    test::SysfsTree tree;
    TStringList ports;
    ports.Add("kept");
    // No port: no SERIALCOMM key.
    EXPECT_EQ(CodeOf([&] { EnumComPorts(ports); }), "23 2 Registry error (win error code: 2)");
    // A name longer than the 256-character buffer.
    tree.AddTty("ttyUSB0", "usb1/1-2/1-2:1.0/ttyUSB0", "");
    tree.AddById(std::string(250, 'x'), "ttyUSB0");
    EXPECT_EQ(CodeOf([&] { EnumComPorts(ports); }), "23 234 Registry error (win error code: 234)");
    EXPECT_EQ(ports.Text(), "kept\n");
}

}  // namespace
}  // namespace portvale

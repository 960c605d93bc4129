#include <gtest/gtest.h>

#include "platform/serial/SerialApi.h"
#include "platform/serial/TermiosSerialApi.h"

namespace portvale {
namespace {

TEST(DevicePathForPortName, MapsEveryKindOfName) {
    struct Row {
        const char* name;
        const char* path;
    };
    const Row rows[] = {
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"\\\\.\\/dev/pts/3", "/dev/pts/3"},
        {"ttyUSB0", "/dev/ttyUSB0"},
        {"\\\\.\\ttyACM1", "/dev/ttyACM1"},
        {"pts/7", "/dev/pts/7"},
        {"COM1", "/dev/ttyS0"},
        {"com3", "/dev/ttyS2"},
        {"\\\\.\\COM12", "/dev/ttyS11"},
        {"CoM01", "/dev/ttyS0"},
        {"COM0", "/dev/COM0"},       // no port 0: an ordinary device name
        {"COM", "/dev/COM"},
        {"COMX", "/dev/COMX"},
        {"COM1a", "/dev/COM1a"},
        {"", ""},
        {"\\\\.\\", ""},
    };
    for (const auto& row : rows) EXPECT_EQ(DevicePathForPortName(row.name), row.path) << row.name;
}

TEST(SerialApiSelection, InstalledBackendReplacesTheTermiosOneUntilRemoved) {
    ISerialApi& standard = SerialApi();
    EXPECT_NE(dynamic_cast<TermiosSerialApi*>(&standard), nullptr);
    TermiosSerialApi other;
    SetSerialApi(&other);
    EXPECT_EQ(&SerialApi(), &other);
    SetSerialApi(nullptr);
    EXPECT_EQ(&SerialApi(), &standard);
}

}  // namespace
}  // namespace portvale

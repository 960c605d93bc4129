#include "headless/ServiceConfig.h"

#include <gtest/gtest.h>

#include "comport/ComTypes.h"

namespace portvale::headless {
namespace {

TEST(ServiceConfigTest, BridgesInheritTheDefaultsAndOverrideThem) {
    const ConfigResult r = ParseServiceConfig(R"(
[service]
metrics = "127.0.0.1:9187"

[defaults]
baud = 115200
parity = "even"
keepalive = 30
allow = ["10.0.0.0/8", "::1"]

[[bridge]]
name = "plc1"
serial = "/dev/ttyUSB0"
listen = "0.0.0.0:4001"
clients = 3
share = true

[[bridge]]
name = "meter"
serial = "/dev/ttyUSB1"
connect = "[::1]:5000"
baud = 9600
stop-bits = 1.5
rfc2217 = true

[[bridge]]
name = "virtual"
serial = "pty:/run/portvale/ttyV0"
connect = "192.0.2.1:2217"
rfc2217 = true
pty-mode = 0o640
pty-group = "plugdev"
)",
                                              "test.toml");
    ASSERT_EQ(r.error, "");
    ASSERT_EQ(r.config.bridges.size(), 3u);
    EXPECT_EQ(r.config.metrics, "127.0.0.1:9187");
    const BridgeConfig& plc = r.config.bridges[0];
    EXPECT_EQ(plc.name, "plc1");
    EXPECT_EQ(plc.baud, 115200);
    EXPECT_EQ(plc.parity, prEven);
    EXPECT_EQ(plc.keepAliveSeconds, 30);
    EXPECT_EQ(plc.listen, "0.0.0.0:4001");
    EXPECT_EQ(plc.clients, 3);
    EXPECT_TRUE(plc.share);
    EXPECT_EQ(plc.allow, (std::vector<std::string>{"10.0.0.0/8", "::1"}));
    const BridgeConfig& meter = r.config.bridges[1];
    EXPECT_EQ(meter.baud, 9600);
    EXPECT_EQ(meter.stopBits, sbOne5StopBits);
    EXPECT_EQ(meter.connect, "[::1]:5000");
    EXPECT_TRUE(meter.rfc2217);
    EXPECT_EQ(meter.clients, 1);
    EXPECT_EQ(meter.ptyMode, 0660);
    EXPECT_EQ(r.config.bridges[2].ptyMode, 0640);
    EXPECT_EQ(r.config.bridges[2].ptyGroup, "plugdev");
}

// A bad file starts nothing: the first error, with its place and key.
TEST(ServiceConfigTest, ABadFileIsRefusedWithTheLineColumnAndKey) {
    const std::string bridge = "[[bridge]]\nname = \"a\"\nserial = \"/dev/ttyS0\"\nlisten = \"127.0.0.1:4001\"\n";
    const struct {
        const char* what;
        std::string text;
        const char* error;
    } rows[] = {
        {"not TOML", "[[bridge]\n", "f.toml:1:10: "},
        {"unknown key", bridge + "speed = 5\n", "f.toml:5:9: speed: unknown key"},
        {"unknown table", "[service2]\n" + bridge, "f.toml:1:1: service2: unknown key"},
        {"wrong type", bridge + "baud = \"fast\"\n", "f.toml:5:8: baud: must be a whole number"},
        {"out of range", bridge + "data-bits = 9\n", "f.toml:5:13: data-bits: must be between 5 and 8"},
        {"longer than the kernel keeps alive", bridge + "keepalive = 40000\n",
         "f.toml:5:13: keepalive: must be between 0 and 32767"},
        {"an option of the command line only", bridge + "mode = \"server\"\n", "f.toml:5:8: mode: unknown key"},
        {"a key of [service] in a bridge", bridge + "metrics = \"127.0.0.1:9187\"\n",
         "f.toml:5:11: metrics: unknown key"},
        {"no TLS version", bridge + "tls-min-version = \"1.1\"\n",
         "f.toml:5:19: tls-min-version: must be one of 1.2, 1.3"},
        {"not a list", bridge + "allow = \"10.0.0.0/8\"\n",
         "f.toml:5:9: allow: must be a list of addresses and networks"},
        {"bad choice", bridge + "parity = \"odd-ish\"\n",
         "f.toml:5:10: parity: must be one of none, odd, even, mark, space"},
        {"bad address", "[[bridge]]\nname = \"a\"\nserial = \"/dev/ttyS0\"\nlisten = \"::1:4001\"\n",
         "f.toml:4:10: listen: \"::1:4001\" is not ADDRESS:PORT (an IPv6 address in brackets)"},
        {"no IPv4 address", "[[bridge]]\nname = \"a\"\nserial = \"/dev/ttyS0\"\nlisten = \"999.1.1.1:4001\"\n",
         "f.toml:4:10: listen: \"999.1.1.1\" is not an IPv4 address"},
        {"no IPv6 address", "[[bridge]]\nname = \"a\"\nserial = \"/dev/ttyS0\"\nlisten = \"[x]:4001\"\n",
         "f.toml:4:10: listen: \"x\" is not an IPv6 address"},
        {"bad network", bridge + "allow = [\"10.0.0.0/33\"]\n",
         "f.toml:5:10: allow: \"10.0.0.0/33\" is not an address or a network"},
        {"name in defaults", "[defaults]\nname = \"x\"\n" + bridge,
         "f.toml:2:8: name: a name belongs to a bridge, not to [defaults]"},
        {"no TCP side", "[[bridge]]\nname = \"a\"\nserial = \"/dev/ttyS0\"\n",
         "f.toml:1:1: listen: bridge \"a\" needs either listen or connect"},
        {"both TCP sides", bridge + "connect = \"h:1\"\n",
         "f.toml:1:1: listen: bridge \"a\" needs either listen or connect"},
        {"one device twice", bridge + "[[bridge]]\nname = \"b\"\nserial = \"/dev/ttyS0\"\nconnect = \"h:1\"\n",
         "f.toml:5:1: serial: \"/dev/ttyS0\" is the device of two bridges"},
        {"one address twice",
         bridge + "[[bridge]]\nname = \"b\"\nserial = \"/dev/ttyS1\"\nlisten = \"127.0.0.1:4001\"\n",
         "f.toml:5:1: listen: \"127.0.0.1:4001\" is the address of two bridges"},
        // Compared by what they mean, not as text.
        {"one address written two ways",
         bridge + "[[bridge]]\nname = \"b\"\nserial = \"/dev/ttyS1\"\nlisten = \"127.0.0.1:04001\"\n",
         "f.toml:5:1: listen: \"127.0.0.1:04001\" is the address of two bridges"},
        {"one device by its COM name", bridge + "[[bridge]]\nname = \"b\"\nserial = \"COM1\"\nconnect = \"h:1\"\n",
         "f.toml:5:1: serial: \"COM1\" is the device of two bridges"},
        {"one name twice", bridge + "[[bridge]]\nname = \"a\"\nserial = \"/dev/ttyS1\"\nconnect = \"h:1\"\n",
         "f.toml:5:1: name: \"a\" names two bridges"},
        {"no bridge", "[defaults]\nbaud = 9600\n", "f.toml: the file describes no bridge"},
        {"unknown service key", "[service]\nmetric = \"127.0.0.1:9187\"\n" + bridge,
         "f.toml:2:10: metric: unknown key"},
        {"metrics not an address", "[service]\nmetrics = \"9187\"\n" + bridge,
         "f.toml:2:11: metrics: \"9187\" is not ADDRESS:PORT (an IPv6 address in brackets)"},
        {"metrics not a string", "[service]\nmetrics = 9187\n" + bridge, "f.toml:2:11: metrics: must be a string"},
        {"service not a table", "service = \"metrics\"\n" + bridge, "f.toml:1:11: service: must be a table"},
        {"metrics on a bridge's address", bridge + "[service]\nmetrics = \"127.0.0.1:4001\"\n",
         "f.toml:6:11: metrics: \"127.0.0.1:4001\" is the address of a bridge"},
        {"bad permissions", bridge + "pty-mode = \"rw\"\n",
         "f.toml:5:12: pty-mode: must be permissions such as 0o660 or \"0660\""},
        {"RFC 2217 server on a virtual device",
         "[[bridge]]\nname = \"v\"\nserial = \"pty:/tmp/v\"\nlisten = \"127.0.0.1:4001\"\nrfc2217 = true\n",
         "f.toml:1:1: rfc2217: bridge \"v\" has a virtual device: RFC 2217 needs connect"},
        {"service keys after bridges still checked", bridge + "[service]\nmetrics = \"127.0.0.1:9187\"\nx = 1\n",
         "f.toml:7:5: x: unknown key"},
        // A NUL would cut the value short where the system reads it.
        {"NUL in an allowed address", bridge + "allow = [\"10.0.0.0/8\", \"10.0.0.1\\u0000junk\"]\n",
         "f.toml:5:24: allow: must not hold a control character (byte 0x00 at 9)"},
        {"NUL in a device", "[[bridge]]\nname = \"a\"\nserial = \"/tmp/portA\\u0000\"\nconnect = \"h:1\"\n",
         "f.toml:3:10: serial: must not hold a control character (byte 0x00 at 11)"},
        {"control character in a name", "[[bridge]]\nname = \"a\\tb\"\n", "f.toml:2:8: name: must not hold a control"},
        // The first in the file, not the first in the order of the keys.
        {"first error first", "[[bridge]]\nname = 5\nserial = \"/dev/ttyS0\"\nkeepalive = -4\n",
         "f.toml:2:8: name: must be a string"},
        {"a bridge's error before the defaults'", "[[bridge]]\nspeed = 1\n[defaults]\nkeepalive = -4\n",
         "f.toml:2:9: speed: unknown key"},
        // Files that reach faults of the TOML library.
        {"outside ASCII between keys", "\xC2\xA1", "f.toml:1:1: a character outside ASCII belongs in a string"},
        {"outside ASCII after a value", bridge + "baud = 9600 \xC2\xA1\n", "f.toml:5:13: a character outside ASCII"},
        {"a table never closed", "[}", "f.toml:1:2: "},
        {"a list never closed", "a=[}", "f.toml:1:4: "},
        {"a time cut short", "e=1979-05-27T:", "f.toml:1:14: "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const ConfigResult r = ParseServiceConfig(row.text, "f.toml");
        EXPECT_EQ(r.error.rfind(row.error, 0), 0u) << r.error;
        EXPECT_TRUE(r.config.bridges.empty());
    }
    // Outside ASCII in strings and comments is text like any other.
    const ConfigResult kitchen = ParseServiceConfig(
        "# K\xC3\xBC" "che\n[[bridge]]\nname = \"K\xC3\xBC" "che\" # \xC2\xA1\nserial = '/dev/ttyS0'\n"
        "listen = \"\"\"127.0.0.1:4001\"\"\"\n",
        "f.toml");
    ASSERT_EQ(kitchen.error, "");
    EXPECT_EQ(kitchen.config.bridges.at(0).name, "K\xC3\xBC" "che");
}

}  // namespace
}  // namespace portvale::headless

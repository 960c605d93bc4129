// The headless command line: what each option sets, and the error a bad one gives.
#include <gtest/gtest.h>

#include "comport/ComTypes.h"
#include "headless/HeadlessOptions.h"

namespace portvale::headless {
namespace {

TEST(HeadlessOptionsTest, EveryOptionSetsItsSetting) {
    const ParseResult r = ParseOptions({"--headless", "--dir", "/tmp", "--mode", "server", "--host=example.org",
                                        "--port", "7000", "--serial", "ttyUSB0", "--baud", "250000",
                                        "--data-bits", "7", "--parity", "even", "--stop-bits", "1.5", "--flow",
                                        "hardware", "--log", "--format", "hex", "--reconnect", "5",
                                        "--keepalive=1", "--capture", "/tmp/c.txt", "--capture-max", "3", "--rfc2217",
                                        "--metrics", "[::1]:9187"});
    ASSERT_EQ(r.error, "");
    const Options& o = r.options;
    EXPECT_EQ(o.dir, "/tmp");
    EXPECT_EQ(o.mode, 2);
    EXPECT_EQ(o.host, "example.org");
    EXPECT_EQ(o.port, "7000");
    EXPECT_EQ(o.serial, "ttyUSB0");
    EXPECT_EQ(o.baud, 250000);
    EXPECT_EQ(o.dataBits, 7);
    EXPECT_EQ(o.parity, prEven);
    EXPECT_EQ(o.stopBits, sbOne5StopBits);
    EXPECT_EQ(o.flow, fcHardware);
    EXPECT_TRUE(o.log);
    EXPECT_EQ(o.format, 3);
    EXPECT_EQ(o.reconnectSeconds, 5);
    EXPECT_EQ(o.keepAliveSeconds, 1);
    EXPECT_EQ(o.capture, "/tmp/c.txt");
    EXPECT_EQ(o.captureMaxMb, 3);
    EXPECT_TRUE(o.rfc2217);
    EXPECT_EQ(o.metrics, "[::1]:9187");
}

TEST(HeadlessOptionsTest, ListenAccessSharingAndTlsOptionsSetTheirSettings) {
    // Each --allow adds to the list.
    const ParseResult r = ParseOptions({"--listen", "[::1]:4001", "--allow", "10.0.0.0/8", "--allow=::1", "--clients",
                                        "3", "--share", "--kick-old", "--max-lag", "65536", "--tls-cert", "c.pem",
                                        "--tls-key", "k.pem", "--tls-client-ca", "ca.pem"});
    ASSERT_EQ(r.error, "");
    const Options& o = r.options;
    EXPECT_EQ(o.mode, 2);
    EXPECT_EQ(o.listenAddress, "::1");
    EXPECT_EQ(o.port, "4001");
    EXPECT_EQ(o.allow, (std::vector<std::string>{"10.0.0.0/8", "::1"}));
    EXPECT_EQ(o.clients, 3);
    EXPECT_TRUE(o.share && o.kickOld);
    EXPECT_EQ(o.maxLag, 65536u);
    EXPECT_EQ(o.tlsCert + " " + o.tlsKey + " " + o.tlsClientCa, "c.pem k.pem ca.pem");
}

TEST(HeadlessOptionsTest, UnattendedDefaultsReconnectProbeAndCaptureNothing) {
    const ParseResult r = ParseOptions({"--headless"});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.options.reconnectSeconds, 2);
    EXPECT_EQ(r.options.keepAliveSeconds, 60);
    EXPECT_FALSE(r.options.rfc2217);
    EXPECT_FALSE(r.options.capture);
    EXPECT_EQ(r.options.captureMaxMb, 0);
    struct Row {
        std::vector<std::string> args;
        int reconnect, keepAlive;
    };
    for (const Row& row : {Row{{"--reconnect", "0"}, 0, 60}, Row{{"--keepalive", "0"}, 2, 0},
                           Row{{"--keepalive", "32767"}, 2, 32767}, Row{{"--reconnect=86400"}, 86400, 60}}) {
        const ParseResult p = ParseOptions(row.args);
        ASSERT_EQ(p.error, "");
        EXPECT_EQ(p.options.reconnectSeconds, row.reconnect);
        EXPECT_EQ(p.options.keepAliveSeconds, row.keepAlive);
    }
}

TEST(HeadlessOptionsTest, ABadValueNamesTheOptionAndWhatIsAllowed) {
    struct Row {
        std::vector<std::string> args;
        const char* error;
    };
    for (const Row& row : {
             Row{{"--mode", "bridge"}, "--mode: 'bridge' is not one of off|client|server"},
             Row{{"--parity", "odd2"}, "--parity: 'odd2' is not one of none|odd|even|mark|space"},
             Row{{"--stop-bits", "3"}, "--stop-bits: '3' is not one of 1|1.5|2"},
             Row{{"--flow", "rts"}, "--flow: 'rts' is not one of none|hardware|software"},
             Row{{"--data-bits", "9"}, "--data-bits: '9' is not one of 5|6|7|8"},
             Row{{"--format", "octal"}, "--format: 'octal' is not one of string|binary|decimal|hex"},
             Row{{"--port", "70000"}, "--port: '70000' is not a TCP port (0 to 65535)"},
             Row{{"--baud", "fast"}, "--baud: 'fast' is not a positive number of bits per second"},
             Row{{"--host"}, "--host needs a value"},
             Row{{"--log=yes"}, "--log takes no value"},
             Row{{"--rfc2217=on"}, "--rfc2217 takes no value"},
             Row{{"--colour"}, "unknown option '--colour' (see --headless --help)"},
             Row{{"--reconnect", "-1"}, "--reconnect: '-1' is not a number of seconds (0 to 86400)"},
             Row{{"--reconnect", "soon"}, "--reconnect: 'soon' is not a number of seconds (0 to 86400)"},
             Row{{"--keepalive", "32768"}, "--keepalive: '32768' is not a number of seconds (0 to 32767)"},
             Row{{"--capture"}, "--capture needs a value"},
             Row{{"--capture="}, "--capture needs a file name"},
             Row{{"--capture", "c.txt", "--capture-max", "1.5"},
                 "--capture-max: '1.5' is not a size in MB (0 to 1048576)"},
             Row{{"--serial="}, "--serial needs a device name"},
             Row{{"--tls-ca="}, "--tls-ca needs a file name"},
             Row{{"--allow", "::1", "--allow", "::2/129"},
                 "--allow: '::2/129' is not an address or a network (10.0.0.0/8, ::1)"},
             Row{{"--max-lag", "1099511627777"}, "--max-lag: '1099511627777' is not a number of bytes (1 to 2^40)"},
             Row{{"--capture-max", "4"}, "--capture-max needs --capture"},
             Row{{"--metrics", "9187"}, "--metrics: '9187' is not ADDRESS:PORT (127.0.0.1:9187, [::1]:9187)"},
             Row{{"--metrics", ":9187"}, "--metrics: ':9187' is not ADDRESS:PORT (127.0.0.1:9187, [::1]:9187)"},
             Row{{"--config", "f.toml", "--metrics", "127.0.0.1:9187"},
                 "--config takes the metrics address from the file: metrics = \"127.0.0.1:9187\" in its [service] "
                 "table"},
             Row{{"--listen", "::1:4001"}, "--listen: '::1:4001' is not ADDRESS:PORT (127.0.0.1:4001, [::1]:4001)"},
             Row{{"--listen", "127.0.0.1:4001", "--mode", "client"}, "--listen is server mode"},
             Row{{"--allow", "10.0.0.0/8,10.1.2.300"},
                 "--allow: '10.1.2.300' is not an address or a network (10.0.0.0/8, ::1)"},
             Row{{"--clients", "0"}, "--clients: '0' is not a number of clients (1 to 65535)"},
             Row{{"--max-lag", "1k"}, "--max-lag: '1k' is not a number of bytes (1 to 2^40)"},
             Row{{"--config", "f.toml", "--share"}, "--config takes every bridge from the file; --share belongs there"},
             Row{{"--tls-cert", "c.pem"}, "--tls-cert and --tls-key go together"},
             Row{{"--tls-client-ca", "ca.pem"}, "--tls-client-ca needs --tls-cert and --tls-key"},
             Row{{"--tls-ca", "ca.pem"}, "--tls-ca needs --tls"},
         }) {
        EXPECT_EQ(ParseOptions(row.args).error, row.error);
    }
}

TEST(HeadlessOptionsTest, HelpNamesEveryOptionAndTheSignals) {
    const std::string usage = HeadlessUsage();
    for (const char* word : {"\n  --config FILE ", "\n  --help ", "SIGUSR1", "SIGINT", "SIGTERM", "Exit codes"})
        EXPECT_NE(usage.find(word), std::string::npos) << word;
    // Each option of the table begins one entry, its value named; every mark filled.
    for (const BridgeKey& key : BridgeKeys()) {
        if (!key.On(Road::CommandLine)) continue;
        const std::string entry =
            std::string("\n  --") + key.name + (key.metavar ? std::string(" ") + key.metavar : "") + " ";
        EXPECT_NE(usage.find(entry), std::string::npos) << entry;
        EXPECT_EQ(usage.find(entry), usage.rfind(entry)) << entry;
    }
    EXPECT_EQ(usage.find('{'), std::string::npos) << usage;
}

}  // namespace
}  // namespace portvale::headless

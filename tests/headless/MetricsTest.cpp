// The two renderings of the bridges' counters: Prometheus' text format held to the
// rules its parser and linter apply, and JSON, with every name escaped for each.
#include "headless/Metrics.h"

#include <map>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

namespace portvale::headless {
namespace {

NamedSnapshots TwoBridges() {
    BridgeCounters a, b;
    a.Forwarded(TBridgeDirection::TcpToCom, 10);
    a.Forwarded(TBridgeDirection::ComToTcp, 4);
    a.Forwarded(TBridgeDirection::ComToTcp, 5);
    a.Dropped(TBridgeDirection::ComToTcp, "no TCP connection", 7);
    a.Connected();
    a.ClientsNow(1);
    a.PortOpenNow(true);
    a.ModemState(0x30);
    a.ModemState(0xb1);  // CD, DSR and CTS, which changed
    a.CaptureLossFrom([] { return std::uint64_t{12}; });
    b.TlsRefused();
    return {{"plc1", a.Read()}, {"meter", b.Read()}};
}

TEST(MetricsTest, PrometheusTextHasEveryFamilyOnceWithHelpTypeAndALabelledSamplePerBridge) {
    const std::string text = PrometheusText(TwoBridges());
    // Each family: HELP, then TYPE, then its samples, never split; a counter's name
    // ends in _total, a gauge's does not.
    std::set<std::string> families;
    std::string family, type;
    std::map<std::string, std::string> samples;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        SCOPED_TRACE(line);
        if (line.rfind("# HELP ", 0) == 0) {
            family = line.substr(7, line.find(' ', 7) - 7);
            EXPECT_TRUE(families.insert(family).second) << "family twice";
            EXPECT_EQ(family.rfind("portvale_", 0), 0u);
            EXPECT_GT(line.size(), 8 + family.size()) << "no help text";
            type.clear();
        } else if (line.rfind("# TYPE ", 0) == 0) {
            EXPECT_EQ(line.substr(7, family.size() + 1), family + " ");
            type = line.substr(8 + family.size());
            EXPECT_TRUE(type == "counter" || type == "gauge");
            EXPECT_EQ(type == "counter", family.size() > 6 && family.substr(family.size() - 6) == "_total");
        } else {
            EXPECT_FALSE(type.empty()) << "a sample before its TYPE";
            EXPECT_EQ(line.rfind(family + "{bridge=\"", 0), 0u);
            const auto space = line.rfind(' ');
            samples[line.substr(0, space)] = line.substr(space + 1);
        }
    }
    EXPECT_EQ(families.size(), 18u);
    const std::map<std::string, std::string> expected = {
        {R"(portvale_forwarded_bytes_total{bridge="plc1",direction="tcp_com"})", "10"},
        {R"(portvale_forwarded_bytes_total{bridge="plc1",direction="com_tcp"})", "9"},
        {R"(portvale_forwarded_blocks_total{bridge="plc1",direction="com_tcp"})", "2"},
        {R"(portvale_forwarded_bytes_total{bridge="meter",direction="tcp_com"})", "0"},
        {R"(portvale_dropped_bytes_total{bridge="plc1",direction="com_tcp",reason="no_tcp_connection"})", "7"},
        {R"(portvale_dropped_blocks_total{bridge="plc1",direction="com_tcp",reason="no_tcp_connection"})", "1"},
        {R"(portvale_connects_total{bridge="plc1"})", "1"},
        {R"(portvale_tls_refusals_total{bridge="meter"})", "1"},
        {R"(portvale_tls_refusals_total{bridge="plc1"})", "0"},
        {R"(portvale_clients_connected{bridge="plc1"})", "1"},
        {R"(portvale_serial_port_open{bridge="plc1"})", "1"},
        {R"(portvale_serial_port_open{bridge="meter"})", "0"},
        {R"(portvale_modem_notifications_total{bridge="plc1"})", "2"},
        {R"(portvale_modem_state{bridge="plc1"})", "177"},
        {R"(portvale_capture_lost_bytes_total{bridge="plc1"})", "12"},
    };
    for (const auto& [sample, value] : expected) EXPECT_EQ(samples[sample], value) << sample << "\n" << text;
    // Only where they apply, as in the counters line.
    for (const char* absent : {
             R"(portvale_dropped_bytes_total{bridge="meter",direction="com_tcp",reason="no_tcp_connection"})",
             R"(portvale_modem_notifications_total{bridge="meter"})",
             R"(portvale_modem_state{bridge="meter"})",
             R"(portvale_capture_lost_bytes_total{bridge="meter"})",
         })
        EXPECT_EQ(samples.count(absent), 0u) << absent;
}

TEST(MetricsTest, EveryBridgeNameIsEscapedForItsFormat) {
    struct Row {
        const char* name;
        const char* label;  // inside bridge="..."
        const char* json;   // "name":...
    };
    for (const Row& row : {
             Row{"plc1", R"(plc1)", R"("plc1")"},
             Row{"a\"b", R"(a\"b)", R"("a\"b")"},
             Row{"C:\\dev", R"(C:\\dev)", R"("C:\\dev")"},
             Row{"two\nlines", R"(two\nlines)", R"("two\u000alines")"},
             Row{"tab\there", "tab\there", R"("tab\u0009here")"},
             Row{"zähler", "zähler", "\"zähler\""},
         }) {
        SCOPED_TRACE(row.name);
        const NamedSnapshots one = {{row.name, BridgeCounters().Read()}};
        EXPECT_NE(PrometheusText(one).find(std::string("portvale_connects_total{bridge=\"") + row.label + "\"} 0\n"),
                  std::string::npos)
            << PrometheusText(one);
        EXPECT_EQ(StatusJson(one).rfind(std::string("{\"bridges\":[{\"name\":") + row.json + ",", 0), 0u)
            << StatusJson(one);
    }
}

TEST(MetricsTest, StatusJsonHasTheCountersLineKeysAndTheDropsByReason) {
    const std::string json = StatusJson(TwoBridges());
    for (const char* piece : {
             R"({"bridges":[{"name":"plc1","serial_port_open":true,"clients_connected":1,"last_state_change":)",
             R"("tcp_com_bytes":10,"tcp_com_blocks":1,"com_tcp_bytes":9,"com_tcp_blocks":2,"dropped_blocks":1,)",
             R"("dropped_bytes":7,"dropped":[{"direction":"com_tcp","reason":"no_tcp_connection","blocks":1,"bytes":7}],)",
             R"("connects":1,"disconnects":0,"refused_peers":0,"refused_clients":0,"lagging_disconnects":0,)",
             R"("tls_refusals":0,"port_losses":0,"reconnects":0,"modem_notifications":2,"modem_state":177,)",
             R"("capture_lost_bytes":12},{"name":"meter","serial_port_open":false,)",
             R"("dropped":[],)",
             R"("tls_refusals":1,)",
         })
        EXPECT_NE(json.find(piece), std::string::npos) << piece << "\n" << json;
    const std::string end = "\"reconnects\":0}]}\n";
    EXPECT_EQ(json.substr(json.size() - end.size()), end) << "no modem or capture keys for meter";
}

}  // namespace
}  // namespace portvale::headless

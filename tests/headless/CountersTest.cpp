// The counters line: every key once, in a fixed order, dropped blocks by direction
// and reason.

#include <atomic>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "headless/Counters.h"

namespace portvale::headless {
namespace {

TEST(CountersTest, ALineOfKeyValuePairsInAFixedOrder) {
    BridgeCounters counters;
    EXPECT_EQ(counters.Line(),
              "tcp_com_bytes=0 tcp_com_blocks=0 com_tcp_bytes=0 com_tcp_blocks=0 dropped_blocks=0 dropped_bytes=0 "
              "connects=0 disconnects=0 port_losses=0 reconnects=0 refused_peers=0 refused_clients=0 "
              "lagging_disconnects=0 tls_refusals=0");
    counters.Forwarded(TBridgeDirection::TcpToCom, 100);
    counters.Forwarded(TBridgeDirection::TcpToCom, 5);
    counters.Forwarded(TBridgeDirection::ComToTcp, 7);
    counters.Dropped(TBridgeDirection::ComToTcp, "no TCP connection", 3);
    counters.Dropped(TBridgeDirection::TcpToCom, "serial port closed", 4);
    counters.Dropped(TBridgeDirection::TcpToCom, "serial port closed", 1);
    counters.Connected();
    counters.Connected();
    counters.Disconnected();
    counters.PortLost();
    counters.ReconnectAttempt();
    counters.Noticed(TBridgeNotice::Refused);
    counters.Noticed(TBridgeNotice::Lagging);
    counters.Noticed(TBridgeNotice::Kicked);
    counters.TlsRefused();
    counters.CaptureLossFrom([] { return std::uint64_t{12}; });
    EXPECT_EQ(counters.Line(),
              "tcp_com_bytes=105 tcp_com_blocks=2 com_tcp_bytes=7 com_tcp_blocks=1 dropped_blocks=3 dropped_bytes=8 "
              "dropped.com_tcp.no_tcp_connection=1 dropped.tcp_com.serial_port_closed=2 connects=2 disconnects=1 "
              "port_losses=1 reconnects=1 refused_peers=1 refused_clients=0 lagging_disconnects=1 tls_refusals=1 "
              "capture_lost_bytes=12");
}

TEST(CountersTest, AReasonBecomesOneKeyOfLettersDigitsAndUnderscores) {
    struct Row {
        const char* reason;
        const char* key;
    };
    for (const Row& row : {
             Row{"no TCP connection", "dropped.com_tcp.no_tcp_connection=1"},
             Row{"  Port  #3 -- gone!", "dropped.com_tcp.port_3_gone=1"},
             Row{"queue=full", "dropped.com_tcp.queue_full=1"},
             Row{"", "dropped.com_tcp.unknown=1"},
             Row{"?!", "dropped.com_tcp.unknown=1"},
         }) {
        BridgeCounters counters;
        counters.Dropped(TBridgeDirection::ComToTcp, row.reason, 1);
        EXPECT_NE(counters.Line().find(std::string(" ") + row.key + " "), std::string::npos) << counters.Line();
    }
}

// The metrics endpoint reads on its own thread while the bridge counts: every count
// it sees only grows, and it sees the last one once the counting is done.
TEST(CountersTest, AnotherThreadReadsCountsThatOnlyGrow) {
    BridgeCounters counters;
    constexpr std::uint64_t kBlocks = 100000;
    std::atomic<bool> done{false};
    bool grew = true;
    std::thread reader([&] {
        CountersSnapshot last;
        while (!done.load()) {
            const CountersSnapshot now = counters.Read();
            grew = grew && now.tcpToCom.bytes >= last.tcpToCom.bytes && now.tcpToCom.blocks >= last.tcpToCom.blocks &&
                   now.dropped.blocks >= last.dropped.blocks && now.droppedByReason.size() >= last.droppedByReason.size();
            last = now;
        }
    });
    for (std::uint64_t i = 0; i < kBlocks; ++i) {
        counters.Forwarded(TBridgeDirection::TcpToCom, 3);
        if (i % 1000 == 0) counters.Dropped(TBridgeDirection::ComToTcp, "reason " + std::to_string(i / 10000), 2);
    }
    done = true;
    reader.join();
    EXPECT_TRUE(grew);
    const CountersSnapshot s = counters.Read();
    EXPECT_EQ(s.tcpToCom.bytes, 3 * kBlocks);
    EXPECT_EQ(s.tcpToCom.blocks, kBlocks);
    ASSERT_EQ(s.droppedByReason.size(), 10u);
    EXPECT_EQ(s.droppedByReason[0].reason, "reason_0");
    EXPECT_EQ(s.droppedByReason[0].flow.blocks, 10u);
    EXPECT_EQ(s.droppedByReason[0].flow.bytes, 20u);
}

// A capture starts and ends while the endpoint reads: once CaptureLossFrom(nullptr)
// returns, the capture may go (the sanitizer build sees a reader that still uses it),
// and the key goes with it.
TEST(CountersTest, ACaptureThatEndsIsNoLongerReadAfterwards) {
    BridgeCounters counters;
    std::atomic<bool> done{false};
    std::atomic<int> late{0};
    std::thread reader([&] {
        while (!done.load())
            if (const auto lost = counters.Read().captureLostBytes; lost && *lost != 7) ++late;
    });
    for (int i = 0; i < 2000; ++i) {
        auto capture = std::make_unique<std::atomic<std::uint64_t>>(7);
        counters.CaptureLossFrom([&capture = *capture] { return capture.load(); });
        counters.CaptureLossFrom(nullptr);
        capture->store(0xdead);
        capture.reset();
    }
    done = true;
    reader.join();
    EXPECT_EQ(late.load(), 0) << "a capture read after it ended";
    EXPECT_FALSE(counters.Read().captureLostBytes);
    EXPECT_EQ(counters.Line().find("capture_lost_bytes"), std::string::npos);
}

}  // namespace
}  // namespace portvale::headless

// Host and service lookups, blocking and asynchronous, with an injected resolver so
// that nothing depends on DNS.

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "tests/platform/sockets/SocketTestSupport.h"

namespace portvale::test {
namespace {

using namespace portvale::ws;

std::uint32_t Address(const char* dotted) {
    in_addr address{};
    ::inet_pton(AF_INET, dotted, &address);
    return address.s_addr;
}

class HostLookup : public ::testing::Test {
protected:
    void SetUp() override {
        SetHostResolver([this](const std::string& name, std::vector<HostAddress>* addresses) {
            {
                std::lock_guard lock(mutex_);
                asked_.insert(name);
            }
            if (name == "slow") {
                slowEntered = true;
                Eventually([this] { return slowReleased.load(); });
            }
            auto it = hosts_.find(name);
            if (it == hosts_.end()) return WSAHOST_NOT_FOUND;
            for (const char* numeric : it->second) addresses->push_back(*ParseNumericHost(numeric));
            return 0;
        });
    }
    void TearDown() override { SetHostResolver(nullptr); }

    bool WasAsked(const std::string& name) {
        std::lock_guard lock(mutex_);
        return asked_.count(name) != 0;
    }

    std::atomic<bool> slowEntered{false};
    std::atomic<bool> slowReleased{false};
    NoteWindow window;
    char buffer[MAXGETHOSTSTRUCT] = {};

private:
    const std::map<std::string, std::vector<const char*>> hosts_{
        {"portvale.test", {"10.1.2.3"}},
        {"fast", {"10.0.0.1"}},
        {"slow", {"10.0.0.2"}},
        {"both.test", {"2001:db8::7", "10.1.2.3"}},
        {"six.test", {"2001:db8::6"}}};
    std::mutex mutex_;
    std::set<std::string> asked_;
};

TEST_F(HostLookup, AsynchronousHostLookupPostsItsHandleAndTheRecord) {
    struct Case {
        const char* name;
        int error;
        const char* address;
    };
    for (const Case& c : {Case{"portvale.test", 0, "10.1.2.3"},
                          Case{"127.0.0.1", 0, "127.0.0.1"},  // dotted: no resolver asked
                          Case{"nowhere.test", WSAHOST_NOT_FOUND, nullptr}}) {
        SCOPED_TRACE(c.name);
        const HANDLE handle =
            WSAAsyncGetHostByName(window.Handle(), kLookupDone, c.name, buffer, sizeof buffer);
        ASSERT_NE(handle, 0u);
        ASSERT_TRUE(PumpUntil([&] { return window.Delivered(handle); }));
        const LookupNote& note = window.lookups.back();
        EXPECT_EQ(WSAGETASYNCERROR(note.lParam), c.error);
        if (c.address != nullptr) {
            EXPECT_EQ(HostRecordAddress(buffer), Address(c.address));
        }
    }
    EXPECT_FALSE(WasAsked("127.0.0.1"));
}

std::vector<std::string> Texts(const std::vector<HostAddress>& addresses) {
    std::vector<std::string> texts;
    for (const HostAddress& address : addresses) texts.push_back(AddressText(MakeSocketAddress(address, 0)));
    return texts;
}

TEST_F(HostLookup, ANameWithBothFamiliesKeepsEveryAddressInTheResolversOrder) {
    const HANDLE handle = WSAAsyncGetHostByName(window.Handle(), kLookupDone, "both.test", buffer, sizeof buffer);
    ASSERT_TRUE(PumpUntil([&] { return window.Delivered(handle); }));
    EXPECT_EQ(WSAGETASYNCERROR(window.lookups.back().lParam), 0);
    EXPECT_EQ(Texts(HostRecordAddresses(buffer)), (std::vector<std::string>{"2001:db8::7", "10.1.2.3"}));
    EXPECT_EQ(HostRecordAddress(buffer), Address("10.1.2.3")) << "the IPv4 view skips the IPv6 address";

    std::uint32_t v4 = 0;
    EXPECT_TRUE(gethostbyname("both.test", &v4));
    EXPECT_EQ(v4, Address("10.1.2.3"));
    EXPECT_FALSE(gethostbyname("six.test", &v4));
    EXPECT_EQ(WSAGetLastError(), WSANO_DATA) << "an IPv6-only host has no IPv4 address";

    std::vector<HostAddress> found;
    EXPECT_EQ(ResolveHostAddresses("[::1]", &found), 0);
    EXPECT_EQ(Texts(found), (std::vector<std::string>{"::1"}));
    EXPECT_FALSE(WasAsked("[::1]")) << "a literal is its own answer";
}

TEST(AddressText, NumericHostsReadAndShowInTheirUsualForm) {
    struct Case {
        const char* text;
        const char* shown;  // null: not a numeric host
    };
    for (const Case& c : {Case{"192.0.2.7", "192.0.2.7"}, Case{"::1", "::1"},
                          Case{"[2001:DB8:0:0::7]", "2001:db8::7"},
                          Case{"::ffff:192.0.2.7", "192.0.2.7"},  // an IPv4 client of a dual-stack listener
                          Case{"fe80::1%lo", "fe80::1%lo"}, Case{"fe80::1%no-such-if", nullptr},
                          Case{"localhost", nullptr}, Case{"1.2.3", nullptr}, Case{"[::1", nullptr},
                          Case{"2001:db8::7::1", nullptr}}) {
        SCOPED_TRACE(c.text);
        const auto parsed = ParseNumericHost(c.text);
        ASSERT_EQ(parsed.has_value(), c.shown != nullptr);
        if (!parsed) continue;
        const SocketAddress address = MakeSocketAddress(*parsed, htons(2217));
        EXPECT_EQ(AddressText(address), c.shown);
        EXPECT_EQ(AddressPort(address), 2217);
    }
}

TEST_F(HostLookup, ABufferTooSmallForTheRecordFailsWithNoBuffers) {
    char small[8];
    const HANDLE handle =
        WSAAsyncGetHostByName(window.Handle(), kLookupDone, "portvale.test", small, sizeof small);
    ASSERT_TRUE(PumpUntil([&] { return window.Delivered(handle); }));
    const LPARAM reply = window.lookups.back().lParam;
    EXPECT_EQ(WSAGETASYNCERROR(reply), WSAENOBUFS);
    EXPECT_GT(reply & 0xFFFF, static_cast<LPARAM>(sizeof small)) << "the size it needs";
}

TEST_F(HostLookup, ACancelledLookupNeverCompletes) {
    const HANDLE slow =
        WSAAsyncGetHostByName(window.Handle(), kLookupDone, "slow", buffer, sizeof buffer);
    ASSERT_TRUE(Eventually([&] { return slowEntered.load(); }));
    EXPECT_EQ(WSACancelAsyncRequest(slow), 0) << "cancelled while the resolver runs";
    EXPECT_EQ(WSACancelAsyncRequest(slow), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEALREADY);
    slowReleased = true;

    // Lookups run one after the other: once a later one is delivered, the cancelled
    // one has long been dealt with.
    char other[MAXGETHOSTSTRUCT];
    const HANDLE fast =
        WSAAsyncGetHostByName(window.Handle(), kLookupDone, "fast", other, sizeof other);
    ASSERT_TRUE(PumpUntil([&] { return window.Delivered(fast); }));
    window.Settle();
    EXPECT_FALSE(window.Delivered(slow));
    EXPECT_EQ(HostRecordAddress(buffer), 0u) << "a cancelled lookup leaves the buffer alone";
}

TEST_F(HostLookup, ACompletionAlreadyQueuedIsWithdrawnByCancel) {
    char first[MAXGETHOSTSTRUCT];
    char second[MAXGETHOSTSTRUCT];
    const HANDLE a =
        WSAAsyncGetHostByName(window.Handle(), kLookupDone, "portvale.test", first, sizeof first);
    const HANDLE b = WSAAsyncGetHostByName(window.Handle(), kLookupDone, "fast", second,
                                           sizeof second);
    // The worker takes lookups in order, so when it asks about the second name the
    // first completion has been posted; nothing has been pumped yet.
    ASSERT_TRUE(Eventually([&] { return WasAsked("fast"); }));
    EXPECT_EQ(WSACancelAsyncRequest(a), 0);
    ASSERT_TRUE(PumpUntil([&] { return window.Delivered(b); }));
    window.Settle();
    EXPECT_FALSE(window.Delivered(a));
}

TEST_F(HostLookup, ServiceLookupGivesThePortInNetworkOrder) {
    std::uint16_t port = 0;
    if (!getservbyname("http", "tcp", &port)) GTEST_SKIP() << "no services database";
    EXPECT_EQ(port, htons(80));
    const HANDLE handle = WSAAsyncGetServByName(window.Handle(), kLookupDone, "http", "tcp",
                                                buffer, sizeof buffer);
    ASSERT_TRUE(PumpUntil([&] { return window.Delivered(handle); }));
    EXPECT_EQ(WSAGETASYNCERROR(window.lookups.back().lParam), 0);
    EXPECT_EQ(ServiceRecordPort(buffer), htons(80));

    const HANDLE unknown = WSAAsyncGetServByName(window.Handle(), kLookupDone,
                                                 "no-such-service-here", "tcp", buffer,
                                                 sizeof buffer);
    ASSERT_TRUE(PumpUntil([&] { return window.Delivered(unknown); }));
    EXPECT_EQ(WSAGETASYNCERROR(window.lookups.back().lParam), WSANO_DATA);
}

TEST_F(HostLookup, BlockingLookupReportsHostNotFound) {
    std::uint32_t address = 0;
    ASSERT_TRUE(gethostbyname("portvale.test", &address));
    EXPECT_EQ(address, Address("10.1.2.3"));
    EXPECT_FALSE(gethostbyname("nowhere.test", &address));
    EXPECT_EQ(WSAGetLastError(), WSAHOST_NOT_FOUND);
    EXPECT_EQ(WSAErrorText(WSAGetLastError()) + " (11001)", "Host not found (11001)");
}

TEST(InetAddr, ParsesDottedAddressesAsWinSockDoes) {
    struct Case {
        const char* text;
        std::uint32_t hostOrder;
    };
    for (const Case& c : {Case{"127.0.0.1", 0x7F000001u}, Case{"10.1", 0x0A000001u},
                          Case{"0x7f.0.0.1", 0x7F000001u}, Case{"", INADDR_NONE},
                          Case{"host.example", INADDR_NONE}, Case{"256.1.1.1", INADDR_NONE},
                          Case{"1.2.3.4.5", INADDR_NONE}}) {
        SCOPED_TRACE(c.text);
        const std::uint32_t expected = c.hostOrder == INADDR_NONE ? INADDR_NONE : htonl(c.hostOrder);
        EXPECT_EQ(inet_addr(c.text), expected);
    }
}

}  // namespace
}  // namespace portvale::test

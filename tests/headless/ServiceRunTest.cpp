// `portvale --headless --config FILE` as a user runs it: several bridges from one
// file on real pseudo-terminals and loopback sockets, a reload that leaves an
// unchanged bridge's connection alone, clients sharing a port, limits, and who may
// connect.
#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>

#include <random>

#include <gtest/gtest.h>

#ifdef PORTVALE_BINARY

#include "tests/headless/HeadlessProgram.h"
#include "tests/sockets/SocketTestSupport.h"

namespace portvale {
namespace {

using namespace std::chrono_literals;
using test::BridgeTable;
using test::Listen;
using test::Program;

// A client bound to `source` ("127.0.0.2", "::1") before it connects; -1 when refused.
int ConnectFrom(const std::string& source, std::uint16_t port, int receiveBuffer = 0) {
    const bool v6 = source.find(':') != std::string::npos;
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    ws::SocketAddress from{}, to{};
    if (v6) {
        from.v6.sin6_family = to.v6.sin6_family = AF_INET6;
        ::inet_pton(AF_INET6, source.c_str(), &from.v6.sin6_addr);
        to.v6.sin6_addr = in6addr_loopback;
        to.v6.sin6_port = htons(port);
    } else {
        from.v4.sin_family = to.v4.sin_family = AF_INET;
        ::inet_pton(AF_INET, source.c_str(), &from.v4.sin_addr);
        to.v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.v4.sin_port = htons(port);
    }
    const socklen_t length = v6 ? sizeof from.v6 : sizeof from.v4;
    if (::bind(fd, &from.any, length) != 0 || ::connect(fd, &to.any, length) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The peer closed the connection without sending a byte.
bool ClosedWithoutData(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) return false;
    char byte;
    return ::recv(fd, &byte, 1, 0) == 0;
}

// One bridge's counters, asked for with SIGUSR1.
std::map<std::string, std::uint64_t> CountersOf(const Program& program, const std::string& name) {
    const std::string mark = "[" + name + "] Counters: ";
    const int before = test::CountOf(program.Err(), mark);
    program.Signal(SIGUSR1);
    std::map<std::string, std::uint64_t> values;
    if (!program.ErrCountAtLeast(mark, before + 1)) return values;
    const std::string err = program.Err();
    const auto at = err.rfind(mark) + mark.size();
    std::istringstream pairs(err.substr(at, err.find('\n', at) - at));
    for (std::string pair; pairs >> pair;)
        if (const auto eq = pair.find('='); eq != std::string::npos)
            values[pair.substr(0, eq)] = std::stoull(pair.substr(eq + 1));
    return values;
}

std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

TEST(ServiceRunTest, AReloadRestartsOnlyWhatChangedAndAnUnchangedConnectionLivesOn) {
    test::ProgramRun run;
    test::Pty& kept = run.pty;
    test::Pty changed, added;
    const std::uint16_t keptPort = run.port, changedPort = test::RefusingPort();
    const std::uint16_t addedPort = test::RefusingPort();
    const std::string& file = run.file;
    Program& program =
        run.StartService("[defaults]\nbaud = 115200\n" + BridgeTable("kept", kept.path(), Listen(keptPort)) +
                         BridgeTable("changed", changed.path(), Listen(changedPort)));
    ASSERT_TRUE(program.ErrContains("Running 2 bridges")) << program.Err();
    const int client = test::ConnectPosix(keptPort);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(program.ErrContains("[kept] Client Connected 127.0.0.1:")) << program.Err();
    const std::string before = RandomBytes(4096, 1);
    ASSERT_TRUE(test::SendAllPosix(client, before));
    EXPECT_EQ(kept.Receive(before.size()), before);

    // Bytes in flight on the kept bridge while the file is read again.
    const std::string during = RandomBytes(64 << 10, 2);
    kept.Send(during);
    test::WriteFileBytes(file, "[defaults]\nbaud = 115200\n" + BridgeTable("kept", kept.path(), Listen(keptPort)) +
                                   BridgeTable("changed", changed.path(), Listen(changedPort) + "baud = 9600\n") +
                                   BridgeTable("added", added.path(), Listen(addedPort)));
    program.Signal(SIGHUP);
    ASSERT_TRUE(program.ErrContains("Reloaded: 1 unchanged, 1 restarted, 1 started, 0 stopped")) << program.Err();
    EXPECT_TRUE(program.ErrContains("[changed] Stopped to restart with new settings"));
    EXPECT_TRUE(program.ErrContains("[added] Listening on 127.0.0.1:" + std::to_string(addedPort)));
    EXPECT_EQ(test::ReadExactPosix(client, during.size()), during);
    const std::string after = RandomBytes(4096, 3);
    ASSERT_TRUE(test::SendAllPosix(client, after));
    EXPECT_EQ(kept.Receive(after.size()), after);
    EXPECT_EQ(test::CountOf(program.Err(), "[kept] Client Disconnected"), 0) << program.Err();

    // A file that no longer reads keeps everything running and says why.
    test::WriteFileBytes(file, "[[bridge]]\nname = \"kept\"\nbaud = \"fast\"\n");
    program.Signal(SIGHUP);
    ASSERT_TRUE(program.ErrContains("Reload failed, running as before: " + file + ":3:8: baud: must be a whole number"))
        << program.Err();
    ASSERT_TRUE(test::SendAllPosix(client, "still"));
    EXPECT_EQ(kept.Receive(5), "still");

    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0) << program.Err();
    ::close(client);
    // The same file at the start starts nothing.
    Program bad(run.dir.Path(), {"--headless", "--config", file});
    EXPECT_EQ(bad.Wait(), 2);
    EXPECT_EQ(bad.Err(), "portvale: " + file + ":3:8: baud: must be a whole number\n");
}

TEST(ServiceRunTest, OnlyAllowedPeersGetInAndEachRefusedAddressIsLoggedOnce) {
    if (!test::HaveIpv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
    test::ProgramRun run;
    test::Pty& v4 = run.pty;
    test::Pty v6;
    const std::uint16_t v4Port = run.port, v6Port = test::RefusingPort();
    // Both listen on every address; one admits 127.0.0.1 (arriving as ::ffff:127.0.0.1),
    // the other ::1 alone.
    Program& program =
        run.StartService(BridgeTable("v4", v4.path(), Listen(v4Port, "::") + "allow = [\"127.0.0.1\"]\nclients = 4\n") +
                         BridgeTable("v6", v6.path(), Listen(v6Port, "::") + "allow = [\"::1/128\"]\nclients = 4\n"));
    ASSERT_TRUE(program.ErrContains("Running 2 bridges")) << program.Err();
    struct Row {
        const char* bridge;
        std::uint16_t port;
        const char* source;
        bool allowed;
    };
    const Row rows[] = {
        {"v4", v4Port, "127.0.0.1", true},  {"v4", v4Port, "127.0.0.2", false}, {"v4", v4Port, "::1", false},
        {"v4", v4Port, "127.0.0.2", false}, {"v6", v6Port, "::1", true},        {"v6", v6Port, "127.0.0.1", false},
    };
    std::vector<int> admitted;
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.bridge) + " from " + row.source);
        const int fd = ConnectFrom(row.source, row.port);
        ASSERT_GE(fd, 0);
        if (row.allowed) {
            admitted.push_back(fd);
            ASSERT_TRUE(program.ErrContains("[" + std::string(row.bridge) + "] Client Connected")) << program.Err();
        } else {
            EXPECT_TRUE(ClosedWithoutData(fd));
            ::close(fd);
        }
    }
    // The admitted ones bridge; the refused ones were never seen by the bridge.
    v4.Send("to v4");
    EXPECT_EQ(test::ReadExactPosix(admitted[0], 5), "to v4");
    ASSERT_TRUE(test::SendAllPosix(admitted[1], "from v6"));
    EXPECT_EQ(v6.Receive(7), "from v6");
    EXPECT_EQ(CountersOf(program, "v4")["refused_peers"], 3u);
    EXPECT_EQ(CountersOf(program, "v6")["refused_peers"], 1u);
    EXPECT_EQ(CountersOf(program, "v4")["connects"], 1u);
    const std::string err = program.Err();
    EXPECT_EQ(test::CountOf(err, "[v4] Refused 127.0.0.2:"), 1) << err;
    EXPECT_EQ(test::CountOf(err, "[v4] Refused [::1]:"), 1) << err;
    EXPECT_EQ(test::CountOf(err, "[v6] Refused 127.0.0.1:"), 1) << err;
    for (int fd : admitted) ::close(fd);
}

TEST(ServiceRunTest, ClientsBeyondTheLimitAreRefusedOrCloseTheOldest) {
    for (const bool kickOld : {false, true}) {
        SCOPED_TRACE(kickOld ? "kick-old" : "refuse");
        test::ProgramRun run;
        test::Pty& pty = run.pty;
        const std::uint16_t port = run.port;
        Program& program = run.StartService(BridgeTable(
            "lab", pty.path(), Listen(port) + "clients = 2\nkick-old = " + (kickOld ? "true" : "false") + "\n"));
        ASSERT_TRUE(program.ErrContains("Running 1 bridge")) << program.Err();
        int clients[3];
        for (int i = 0; i < 2; ++i) {
            clients[i] = test::ConnectPosix(port);
            ASSERT_TRUE(program.ErrCountAtLeast("[lab] Client Connected", i + 1)) << program.Err();
        }
        clients[2] = test::ConnectPosix(port);
        if (kickOld) {
            EXPECT_TRUE(program.ErrContains("[lab] Closed 127.0.0.1:")) << program.Err();
            EXPECT_TRUE(ClosedWithoutData(clients[0]));
            ASSERT_TRUE(program.ErrCountAtLeast("[lab] Client Connected", 3)) << program.Err();
            // The serial data now goes to the oldest that is left.
            pty.Send("next");
            EXPECT_EQ(test::ReadExactPosix(clients[1], 4), "next");
        } else {
            EXPECT_TRUE(program.ErrContains("[lab] Refused 127.0.0.1:")) << program.Err();
            EXPECT_NE(program.Err().find(": 2 clients connected already"), std::string::npos);
            EXPECT_TRUE(ClosedWithoutData(clients[2]));
            EXPECT_EQ(CountersOf(program, "lab")["refused_clients"], 1u);
            pty.Send("first");
            EXPECT_EQ(test::ReadExactPosix(clients[0], 5), "first");
        }
        for (int fd : clients) ::close(fd);
        program.Signal(SIGTERM);
        EXPECT_EQ(program.Wait(), 0) << program.Err();
    }
}

TEST(ServiceRunTest, ASharedPortFeedsEveryClientAndDropsTheOneThatStalls) {
    test::ProgramRun run;
    test::Pty& pty = run.pty;
    const std::uint16_t port = run.port;
    constexpr std::size_t kLag = 128 << 10;
    Program& program = run.StartService(BridgeTable(
        "shared", pty.path(), Listen(port) + "share = true\nclients = 3\nmax-lag = " + std::to_string(kLag) + "\n"));
    ASSERT_TRUE(program.ErrContains("Running 1 bridge")) << program.Err();
    const int readers[2] = {test::ConnectPosix(port), test::ConnectPosix(port)};
    // Never read, with a small window: its queue in the bridge grows.
    const int stalled = ConnectFrom("127.0.0.1", port, 4096);
    ASSERT_TRUE(program.ErrCountAtLeast("[shared] Client Connected", 3)) << program.Err();

    // Every client's block reaches the port whole.
    const std::string blocks[2] = {std::string(1000, 'a'), std::string(1000, 'b')};
    ASSERT_TRUE(test::SendAllPosix(readers[0], blocks[0]));
    ASSERT_TRUE(test::SendAllPosix(readers[1], blocks[1]));
    const std::string toPort = pty.Receive(2000);
    EXPECT_TRUE(toPort == blocks[0] + blocks[1] || toPort == blocks[1] + blocks[0]);

    // The device's bytes, far more than the stalled client and its kernel buffers
    // can hold, written while the two readers read.
    const std::string fromDevice = RandomBytes(16 << 20, 4);
    std::string got[2];
    std::size_t written = 0;
    ::fcntl(pty.master(), F_SETFL, ::fcntl(pty.master(), F_GETFL) | O_NONBLOCK);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while ((got[0].size() < fromDevice.size() || got[1].size() < fromDevice.size()) &&
           std::chrono::steady_clock::now() < deadline) {
        pollfd p[3] = {{readers[0], POLLIN, 0}, {readers[1], POLLIN, 0},
                       {pty.master(), static_cast<short>(written < fromDevice.size() ? POLLOUT : 0), 0}};
        if (::poll(p, 3, 1000) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (!(p[i].revents & (POLLIN | POLLHUP))) continue;
            char buffer[65536];
            const ssize_t n = ::recv(readers[i], buffer, sizeof buffer, 0);
            if (n <= 0) break;
            got[i].append(buffer, static_cast<std::size_t>(n));
        }
        if (p[2].revents & POLLOUT) {
            const ssize_t n = ::write(pty.master(), fromDevice.data() + written,
                                      std::min<std::size_t>(fromDevice.size() - written, 4096));
            if (n > 0) written += static_cast<std::size_t>(n);
        }
    }
    EXPECT_TRUE(got[0] == fromDevice) << got[0].size() << " of " << fromDevice.size();
    EXPECT_TRUE(got[1] == fromDevice) << got[1].size() << " of " << fromDevice.size();
    EXPECT_TRUE(program.ErrContains("[shared] Disconnected 127.0.0.1:")) << program.Err();
    EXPECT_NE(program.Err().find("more than " + std::to_string(kLag) + " bytes behind"), std::string::npos);
    const auto counters = CountersOf(program, "shared");
    EXPECT_EQ(counters.at("lagging_disconnects"), 1u);
    EXPECT_EQ(counters.at("disconnects"), 1u);
    // What the stalled client got before it was dropped is the stream's beginning.
    std::string stalledGot;
    char buffer[65536];
    const timeval limit{10, 0};
    ::setsockopt(stalled, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    for (ssize_t n; (n = ::recv(stalled, buffer, sizeof buffer, 0)) > 0;) stalledGot.append(buffer, n);
    EXPECT_EQ(stalledGot, fromDevice.substr(0, stalledGot.size()));
    EXPECT_LT(stalledGot.size(), fromDevice.size());
    for (int fd : readers) ::close(fd);
    ::close(stalled);
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0) << program.Err();
}

}  // namespace
}  // namespace portvale

#endif  // PORTVALE_BINARY

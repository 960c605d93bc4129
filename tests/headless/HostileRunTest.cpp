// What an attacker and a careless operator try on the service, against independent
// peers on loopback: a listener bound exactly where it is told, a reload that cannot
// be applied changing nothing, refusals that name what to mend, and peers that open
// connections and stay silent never keeping out one that completes its handshake.
#include <netdb.h>
#include <signal.h>

#include <cstring>
#include <fstream>
#include <set>

#include <gtest/gtest.h>

#ifdef PORTVALE_BINARY

#include "tests/headless/HeadlessProgram.h"
#include "tests/sockets/SocketTestSupport.h"

namespace portvale {
namespace {

using namespace std::chrono_literals;
using test::BridgeTable;
using test::Child;
using test::Key;
using test::Program;
using test::WaitUntil;

std::uint32_t SystemMaxBacklog() {
    std::ifstream in("/proc/sys/net/core/somaxconn");
    std::uint32_t value = 0;
    in >> value;
    return value;
}

// A connection to `address` (an IPv4 or IPv6 literal) and `port`: whether it is taken.
bool Reachable(const std::string& address, std::uint16_t port) {
    const auto host = ws::ParseNumericHost(address);
    if (!host) return false;
    const ws::SocketAddress to = ws::MakeSocketAddress(*host, htons(port));
    const int fd = ::socket(host->family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool ok = ::connect(fd, &to.any, host->family == AF_INET6 ? sizeof to.v6 : sizeof to.v4) == 0;
    ::close(fd);
    return ok;
}

// What the system resolves `name` to, as the listening addresses show them.
std::vector<std::string> Resolved(const std::string& name) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::set<std::string> texts;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) == 0) {
        for (const addrinfo* a = found; a; a = a->ai_next) {
            ws::SocketAddress address{};
            std::memcpy(&address, a->ai_addr, a->ai_addrlen);
            texts.insert(ws::AddressText(address));
        }
        ::freeaddrinfo(found);
    }
    return {texts.begin(), texts.end()};
}

TEST(HostileRunTest, AListenerBindsExactlyWhereItIsToldAndTakesBursts) {
    const bool v6 = test::HaveIpv6Loopback();
    struct Row {
        const char* what;
        std::string host;                // as written before ":PORT"; empty: --port alone
        bool file;                       // in a configuration file, else on the command line
        std::vector<std::string> bound;  // what the kernel then listens on
        std::vector<std::string> unreachable;
        bool needsV6;
    };
    const Row rows[] = {
        {"IPv4 loopback in a file", "127.0.0.1", true, {"127.0.0.1"}, {"127.0.0.2"}, false},
        {"IPv4 loopback on the command line", "127.0.0.1", false, {"127.0.0.1"}, {"127.0.0.2"}, false},
        {"IPv6 loopback", "[::1]", true, {"::1"}, {"127.0.0.1"}, true},
        {"every IPv4 address", "0.0.0.0", true, {"0.0.0.0"}, {"::1"}, true},
        {"every address", "[::]", true, {"::"}, {}, true},
        {"a host name", "localhost", true, Resolved("localhost"), {}, false},
        {"--port alone", "", false, {v6 ? "::" : "0.0.0.0"}, {}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.needsV6 && !v6) continue;
        test::ProgramRun run;
        const std::uint16_t port = run.port;
        const std::string where = row.host + ":" + std::to_string(port);
        std::vector<std::string> args = {"--headless"};
        if (row.file) {
            test::WriteFileBytes(run.file, BridgeTable("b", run.pty.path(), Key("listen", where)));
            args.insert(args.end(), {"--config", run.file});
        } else {
            args.insert(args.end(), {"--dir", run.dir.Path(), "--mode", "server", "--serial", run.pty.path()});
            if (row.host.empty()) args.insert(args.end(), {"--port", std::to_string(port)});
            else args.insert(args.end(), {"--listen", where});
        }
        Program& program = run.Start(args);
        ASSERT_TRUE(program.ErrContains("Listening on ")) << program.Err();
        ASSERT_TRUE(WaitUntil([&] { return !test::ListeningAddresses(port).empty(); }));
        EXPECT_EQ(test::ListeningAddresses(port), row.bound);
        // The log names what is bound.
        for (const std::string& address : row.host.empty() ? std::vector<std::string>{} : row.bound) {
            const bool inBrackets = address.find(':') != std::string::npos;
            const std::string text = (inBrackets ? "[" + address + "]" : address) + ":" + std::to_string(port);
            EXPECT_NE(program.Err().find(text), std::string::npos) << program.Err();
        }
        for (const std::string& address : row.unreachable) EXPECT_FALSE(Reachable(address, port)) << address;
        // A burst waits in the system's longest queue, not in WinSock 1.1's five.
        EXPECT_EQ(test::ListenBacklog(port), SystemMaxBacklog());
    }
}

TEST(HostileRunTest, AListenValueThatIsNoAddressEndsTheStart) {
    test::ProgramRun run;
    struct Row {
        std::string value;
        std::string said;
    };
    const Row rows[] = {
        {"999.1.1.1:4001", "\"999.1.1.1\" is not an IPv4 address"},
        {"[x]:4001", "\"x\" is not an IPv6 address"},
        {"127.0.0.1:0", "is not ADDRESS:PORT"},
        {"127.0.0.1:65536", "is not ADDRESS:PORT"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value);
        const std::string& file = run.file;
        Program& inFile = run.StartService(BridgeTable("b", run.pty.path(), Key("listen", row.value)));
        EXPECT_EQ(inFile.Wait(), 2);
        EXPECT_NE(inFile.Err().find(file + ":4:10: listen: "), std::string::npos) << inFile.Err();
        EXPECT_NE(inFile.Err().find(row.said), std::string::npos) << inFile.Err();
        Program& onLine =
            run.Start({"--headless", "--dir", run.dir.Path(), "--serial", run.pty.path(), "--listen", row.value});
        EXPECT_EQ(onLine.Wait(), 2);
        EXPECT_NE(onLine.Err().find("--listen"), std::string::npos) << onLine.Err();
    }
}

TEST(HostileRunTest, FilesThatTripTheTomlLibraryGetTheFileErrorInEveryBuild) {
    test::ProgramRun run;
    for (const std::string text : {"\xC2\xA1", "[}", "a=[}", "e=1979-05-27T:"}) {
        SCOPED_TRACE(text);
        Program& program = run.StartService(text);
        EXPECT_EQ(program.Wait(), 2);
        EXPECT_NE(program.Err().find(run.file + ":1:"), std::string::npos) << program.Err();
        EXPECT_EQ(program.Err().find("runtime error"), std::string::npos) << program.Err();
    }
}

// The certificates of tests/headless/make-test-certificates.sh, made in `dir`.
bool MakeCertificates(const std::string& dir) {
    return ::system(("bash '" + std::string(PORTVALE_SOURCE_DIR) + "/tests/headless/make-test-certificates.sh' '" +
                     dir + "'")
                        .c_str()) == 0;
}

TEST(HostileRunTest, AReloadThatCannotBeAppliedChangesNothingAndTheSameFileCannotStart) {
    if (!test::HaveCommand("openssl")) GTEST_SKIP() << "openssl is not installed";
    test::ProgramRun run;
    const test::ScratchDirectory& dir = run.dir;
    ASSERT_TRUE(MakeCertificates(dir.Path()));
    test::Pty& pty = run.pty;
    test::Pty other;
    const std::uint16_t port = run.port;
    const std::string listen = Key("listen", "127.0.0.1:" + std::to_string(port));
    const std::string& file = run.file;
    Program& program = run.StartService(BridgeTable("plc", pty.path(), listen));
    ASSERT_TRUE(program.ErrContains("Running 1 bridge")) << program.Err();
    const int client = test::ConnectPosix(port);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(program.ErrContains("Client Connected 127.0.0.1:")) << program.Err();

    const int taken = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const ws::SocketAddress takenAddress = test::LoopbackOf(AF_INET, 0);
    ASSERT_EQ(::bind(taken, &takenAddress.any, sizeof takenAddress.v4), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    const std::string takenPort = std::to_string(test::LocalPort(taken));
    ::mkdir(dir.File("folder").c_str(), 0755);
    struct Row {
        const char* what;
        std::string file;
        std::string reason;
        int startExit;
    };
    const Row rows[] = {
        {"a certificate that is not there",
         BridgeTable("plc", pty.path(),
                     listen + Key("tls-cert", dir.File("none.pem")) + Key("tls-key", dir.File("server.key"))),
         "tls-cert: " + dir.File("none.pem") + ": No such file or directory", 2},
        {"a key of another certificate",
         BridgeTable("plc", pty.path(),
                     listen + Key("tls-cert", dir.File("server.pem")) + Key("tls-key", dir.File("stranger.key"))),
         "tls-key: " + dir.File("stranger.key") + " does not belong to the certificate", 2},
        {"a capture that is a folder", BridgeTable("plc", pty.path(), listen + Key("capture", dir.File("folder"))),
         "capture: " + dir.File("folder") + ": Is a directory", 2},
        {"a new bridge on a taken port",
         BridgeTable("new", other.path(), Key("listen", "127.0.0.1:" + takenPort)) +
             BridgeTable("plc", pty.path(), listen),
         "listen: 127.0.0.1:" + takenPort + ": Address already in use", 1},
    };
    int failures = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        // Bytes in flight both ways while the file is read again.
        const std::string toDevice(32 << 10, 'd'), toClient(32 << 10, 'c');
        ASSERT_TRUE(test::SendAllPosix(client, toDevice));
        pty.Send(toClient);
        test::WriteFileBytes(file, row.file);
        program.Signal(SIGHUP);
        ASSERT_TRUE(program.ErrCountAtLeast("Reload failed, running as before: ", ++failures)) << program.Err();
        EXPECT_NE(program.Err().find(row.reason), std::string::npos) << program.Err();
        EXPECT_EQ(pty.Receive(toDevice.size()), toDevice);
        EXPECT_EQ(test::ReadExactPosix(client, toClient.size()), toClient);

        test::ScratchDirectory elsewhere;
        Program start(elsewhere.Path(), {"--headless", "--config", file});
        EXPECT_EQ(start.Wait(), row.startExit) << start.Err();
        EXPECT_NE(start.Err().find(row.reason), std::string::npos) << start.Err();
    }
    EXPECT_EQ(test::CountOf(program.Err(), "Stopped"), 0) << program.Err();
    EXPECT_EQ(test::CountOf(program.Err(), "Client Disconnected"), 0) << program.Err();
    ::close(taken);
    ::close(client);
}

TEST(HostileRunTest, SilentPeersNeverKeepOutACertificateHolder) {
    if (!test::HaveCommand("openssl") || !test::HaveCommand("socat")) GTEST_SKIP() << "openssl or socat missing";
    test::ProgramRun run;
    const test::ScratchDirectory& dir = run.dir;
    ASSERT_TRUE(MakeCertificates(dir.Path()));
    test::Pty& pty = run.pty;
    const std::uint16_t port = run.port;
    const std::string target = "127.0.0.1:" + std::to_string(port);
    Program& program = run.StartService(BridgeTable("sec", pty.path(),
                                                    Key("listen", target) + Key("tls-cert", dir.File("server.pem")) +
                                                        Key("tls-key", dir.File("server.key")) +
                                                        Key("tls-client-ca", dir.File("ca.pem")) + "clients = 1\n"));
    ASSERT_TRUE(program.ErrContains("Running 1 bridge")) << program.Err();
    // More silent peers than one address may hold in handshakes.
    std::vector<int> silent;
    for (int i = 0; i < 12; ++i) silent.push_back(test::ConnectPosix(port));
    ASSERT_TRUE(program.ErrCountAtLeast("[sec] Client Connected 127.0.0.1:", 12)) << program.Err();

    const std::uint16_t relay = test::RefusingPort();
    Child holder({"socat", "TCP-LISTEN:" + std::to_string(relay) + ",bind=127.0.0.1,reuseaddr",
                  "OPENSSL:" + target + ",cafile=" + dir.File("ca.pem") + ",commonname=localhost,cert=" +
                      dir.File("client.pem") + ",key=" + dir.File("client.key")},
                 dir.File("holder.txt"));
    int client = -1;
    ASSERT_TRUE(WaitUntil([&] { return (client = test::ConnectPosix(relay)) >= 0; }));
    ASSERT_TRUE(test::SendAllPosix(client, "sealed"));
    EXPECT_EQ(pty.Receive(6), "sealed");
    pty.Send("reply");
    EXPECT_EQ(test::ReadExactPosix(client, 5), "reply");
    EXPECT_EQ(test::CountOf(program.Err(), "connected already"), 0) << program.Err();
    EXPECT_GE(test::CountOf(program.Err(), "too many handshakes under way"), 4) << program.Err();

    // The place is the holder's now: a second holder is refused.
    Child second({"openssl", "s_client", "-connect", target, "-CAfile", dir.File("ca.pem"), "-cert",
                  dir.File("client.pem"), "-key", dir.File("client.key")},
                 dir.File("second.txt"));
    EXPECT_TRUE(program.ErrContains(": 1 client connected already")) << program.Err();
    pty.Send("still");
    EXPECT_EQ(test::ReadExactPosix(client, 5), "still");
    for (const int fd : silent) ::close(fd);
    ::close(client);
}

TEST(HostileRunTest, AConnectionResetAtOnceStillNamesItsPeer) {
    test::ProgramRun run;
    const std::uint16_t port = run.port;
    Program& program = run.StartService(BridgeTable(
        "r", run.pty.path(), Key("listen", "127.0.0.1:" + std::to_string(port)) + "rfc2217 = true\nclients = 64\n"));
    ASSERT_TRUE(program.ErrContains("Running 1 bridge")) << program.Err();
    // Reset before the service looks at them: the peer is known from accept alone.
    program.Signal(SIGSTOP);
    for (int i = 0; i < 20; ++i) test::ResetPosix(test::ConnectPosix(port));
    program.Signal(SIGCONT);
    ASSERT_TRUE(program.ErrCountAtLeast("[r] Client Disconnected", 20)) << program.Err();
    EXPECT_EQ(test::CountOf(program.Err(), "[r] Client Connected 127.0.0.1:"), 20) << program.Err();
    EXPECT_EQ(test::CountOf(program.Err(), ":0\n"), 0) << program.Err();
}

}  // namespace
}  // namespace portvale

#endif  // PORTVALE_BINARY

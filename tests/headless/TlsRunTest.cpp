// TLS on the TCP side against independent peers: socat's OPENSSL addresses and
// pyserial's RFC 2217 client behind a socat relay, with certificates made by openssl
// for the run. Every refusal closes one connection with a line naming the peer and
// the reason, is counted, and leaves the bridge running.
#include <sys/stat.h>

#include <fstream>

#include <gtest/gtest.h>

#ifdef PORTVALE_BINARY

#include "tests/headless/HeadlessProgram.h"
#include "tests/sockets/SocketTestSupport.h"

namespace portvale {
namespace {

using namespace std::chrono_literals;
using test::Child;
using test::Key;
using test::Listen;
using test::Program;
using test::ReadFileBytes;
using test::WaitUntil;

// The certificates of tests/headless/make-test-certificates.sh, made in `dir`.
class Certificates {
public:
    explicit Certificates(const std::string& dir) : dir_(dir) {
        const std::string command =
            std::string("bash '") + PORTVALE_SOURCE_DIR + "/tests/headless/make-test-certificates.sh' '" + dir + "'";
        ok_ = ::system(command.c_str()) == 0;
    }
    bool ok() const { return ok_; }
    std::string operator()(const std::string& name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
    bool ok_ = false;
};

bool HaveTools() { return test::HaveCommand("openssl") && test::HaveCommand("socat"); }

// The bridge "sec" on `serial`, with room for a few clients.
std::string Bridge(const std::string& serial, const std::string& keys) {
    return test::BridgeTable("sec", serial, keys + "clients = 8\n");
}

TEST(TlsRunTest, AListeningBridgeRefusesEveryPeerWithoutTheRightCertificate) {
    if (!HaveTools()) GTEST_SKIP() << "openssl or socat is not installed";
    test::ProgramRun run;
    const test::ScratchDirectory& dir = run.dir;
    const Certificates pem(dir.Path());
    ASSERT_TRUE(pem.ok());
    test::Pty& pty = run.pty;
    const std::uint16_t port = run.port;
    Program& program = run.StartService(Bridge(pty.path(), Listen(port) + Key("tls-cert", pem("server.pem")) +
                                                               Key("tls-key", pem("server.key")) +
                                                               Key("tls-client-ca", pem("ca.pem"))));
    ASSERT_TRUE(program.ErrContains("Running 1 bridge")) << program.Err();
    const std::string target = "127.0.0.1:" + std::to_string(port);
    const std::string common = ",cafile=" + pem("ca.pem") + ",commonname=localhost";
    struct Attempt {
        const char* what;
        std::vector<std::string> peer;
        const char* reason;  // in the refusal line
    };
    // openssl s_client, not socat with a program on its other side: that socat gives
    // up its own handshake when the program ends first.
    const std::vector<std::string> sClient = {"openssl", "s_client", "-connect", target, "-CAfile", pem("ca.pem")};
    auto with = [&](std::vector<std::string> more) {
        std::vector<std::string> all = sClient;
        all.insert(all.end(), more.begin(), more.end());
        return all;
    };
    const Attempt attempts[] = {
        {"plain TCP", {"socat", "-u", "EXEC:echo plain", "TCP:" + target}, "not TLS"},
        {"no client certificate", sClient, "peer did not return a certificate"},
        {"a client certificate of another CA", with({"-cert", pem("stranger.pem"), "-key", pem("stranger.key")}),
         "unable to get local issuer certificate"},
    };
    int refused = 0;
    for (const Attempt& a : attempts) {
        SCOPED_TRACE(a.what);
        Child peer(a.peer, dir.File("peer.txt"));
        ASSERT_TRUE(program.ErrCountAtLeast("[sec] TLS refused 127.0.0.1:", ++refused)) << program.Err();
        EXPECT_EQ(test::CountOf(program.Err(), a.reason), 1) << program.Err();
    }
    // A peer that connects and never speaks is dropped after ten seconds.
    const int silent = test::ConnectPosix(port);
    ASSERT_GE(silent, 0);
    ASSERT_TRUE(program.ErrContains("no TLS handshake within 10 s", 20s)) << program.Err();
    char byte;
    EXPECT_EQ(::recv(silent, &byte, 1, 0), 0);
    ::close(silent);

    // Nothing of theirs reached the device, and the bridge still serves a good client.
    const std::uint16_t relay = test::RefusingPort();
    Child good({"socat", "TCP-LISTEN:" + std::to_string(relay) + ",bind=127.0.0.1,reuseaddr",
                "OPENSSL:" + target + common + ",cert=" + pem("client.pem") + ",key=" + pem("client.key")},
               dir.File("good.txt"));
    int client = -1;
    ASSERT_TRUE(WaitUntil([&] { return (client = test::ConnectPosix(relay)) >= 0; }));
    test::SendAllPosix(client, "sealed");
    EXPECT_EQ(pty.Receive(6), "sealed");
    // Its handshake is done (its bytes came through): it takes the device's bytes.
    pty.Send("reply");
    EXPECT_EQ(test::ReadExactPosix(client, 5), "reply");
    ::close(client);
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
    EXPECT_NE(program.Err().find("tls_refusals=4"), std::string::npos) << program.Err();
}

TEST(TlsRunTest, AConnectingBridgeChecksTheServersCertificateAndName) {
    if (!HaveTools()) GTEST_SKIP() << "openssl or socat is not installed";
    test::ScratchDirectory dir;
    const Certificates pem(dir.Path());
    ASSERT_TRUE(pem.ok());
    struct Row {
        const char* what;
        const char* certificate;  // the server's
        const char* host;         // what the bridge connects to
        const char* reason;       // empty: the bridge works
    };
    const Row rows[] = {
        {"trusted", "server", "localhost", ""},
        {"by address", "server", "127.0.0.1", ""},
        {"another name", "elsewhere", "localhost", "hostname mismatch"},
        {"self-signed", "self", "localhost", "self-signed certificate"},
        {"expired", "expired", "localhost", "certificate has expired"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        test::ProgramRun run;
        test::Pty& pty = run.pty;
        test::PosixListener far;
        const std::uint16_t port = run.port;
        // The TLS server: socat, passing the plaintext on to a plain listener of ours.
        const std::string name = row.certificate;
        Child server({"socat",
                      "OPENSSL-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,verify=0,cert=" +
                          pem(name + ".pem") + ",key=" + pem(name + ".key"),
                      "TCP:127.0.0.1:" + std::to_string(far.Port())},
                     dir.File("server.txt"));
        ASSERT_TRUE(WaitUntil([&] { return test::ListenBacklog(port).has_value(); }));
        Program& program =
            run.StartService(Bridge(pty.path(), Key("connect", std::string(row.host) + ":" + std::to_string(port)) +
                                                    "tls = true\nreconnect = 0\n" + Key("tls-ca", pem("ca.pem"))));
        if (*row.reason) {
            ASSERT_TRUE(program.ErrContains("[sec] TLS refused 127.0.0.1:" + std::to_string(port) + ": " + row.reason))
                << program.Err();
        } else {
            const int peer = far.Accept();
            ASSERT_GE(peer, 0) << program.Err();
            ASSERT_TRUE(program.ErrContains("[sec] Connected to Server")) << program.Err();
            test::SendAllPosix(peer, "down");
            EXPECT_EQ(pty.Receive(4), "down");
            pty.Send("up");
            EXPECT_EQ(test::ReadExactPosix(peer, 2), "up") << program.Err();
            ::close(peer);
        }
        program.Signal(SIGTERM);
        EXPECT_EQ(program.Wait(), 0);
    }
}

// pyserial's RFC 2217 client through a socat relay that speaks mutual TLS to the
// bridge: the line set over TLS reaches the device, and 1 MiB goes each way exactly.
constexpr char kClient[] = R"PY(
import os, sys, termios, threading, random, serial
relay, device, peer = sys.argv[1], sys.argv[2], sys.argv[3]
s = serial.serial_for_url('rfc2217://127.0.0.1:' + relay, timeout=10)
dev = os.open(device, os.O_RDWR | os.O_NOCTTY)
far = os.open(peer, os.O_RDWR | os.O_NOCTTY)
s.baudrate = 57600
print('line', 'ok' if termios.tcgetattr(dev)[4] == termios.B57600 else 'FAIL', flush=True)
rng = random.Random(19)
def exact(name, write, read):
    data = bytes(0xFF if i % 5 == 0 else rng.getrandbits(8) for i in range(1 << 20))
    got = bytearray()
    def reader():
        while len(got) < len(data):
            chunk = read(len(data) - len(got))
            if not chunk: break
            got.extend(chunk)
    t = threading.Thread(target=reader); t.start(); write(data); t.join(60)
    print(name, 'ok' if bytes(got) == data else 'FAIL %d of %d' % (len(got), len(data)), flush=True)
def write_all(fd, data):
    view = memoryview(data)
    while view: view = view[os.write(fd, view[:65536]):]
exact('to-device', s.write, lambda n: os.read(far, min(n, 65536)))
exact('to-client', lambda d: write_all(far, d), lambda n: s.read(min(n, 65536)))
print('done', flush=True)
)PY";

TEST(TlsRunTest, MutualTlsCarriesRfc2217AndAMebibyteEachWayExactly) {
    if (!HaveTools()) GTEST_SKIP() << "openssl or socat is not installed";
    if (::system("/usr/bin/python3 -c 'import serial.rfc2217' >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "python3-serial is not installed";
    test::ScratchDirectory dir;
    const Certificates pem(dir.Path());
    ASSERT_TRUE(pem.ok());
    const std::string device = dir.File("device"), peer = dir.File("peer");
    Child pair({"socat", "pty,raw,echo=0,link=" + device, "pty,raw,echo=0,link=" + peer}, dir.File("pair.txt"));
    struct stat info {};
    ASSERT_TRUE(WaitUntil([&] { return ::stat(device.c_str(), &info) == 0 && ::stat(peer.c_str(), &info) == 0; }));
    const std::uint16_t port = test::RefusingPort(), relay = test::RefusingPort();
    const std::string file = dir.File("portvale.toml");
    test::WriteFileBytes(file,
                         Bridge(device, Listen(port) + "rfc2217 = true\n" + Key("tls-cert", pem("server.pem")) +
                                            Key("tls-key", pem("server.key")) + Key("tls-client-ca", pem("ca.pem"))));
    Program program(dir.Path(), {"--headless", "--config", file});
    ASSERT_TRUE(program.ErrContains("Running 1 bridge")) << program.Err();
    Child socat({"socat", "TCP-LISTEN:" + std::to_string(relay) + ",bind=127.0.0.1,reuseaddr",
                 "OPENSSL:127.0.0.1:" + std::to_string(port) + ",cafile=" + pem("ca.pem") +
                     ",commonname=localhost,cert=" + pem("client.pem") + ",key=" + pem("client.key")},
                dir.File("relay.txt"));
    ASSERT_TRUE(WaitUntil([&] { return test::ListenBacklog(relay).has_value(); }));
    std::ofstream(dir.File("client.py")) << kClient;
    Child client({"/usr/bin/python3", dir.File("client.py"), std::to_string(relay), device, peer},
                 dir.File("client.txt"));
    ASSERT_TRUE(WaitUntil([&] { return ReadFileBytes(dir.File("client.txt")).find("done\n") != std::string::npos ||
                                       ::waitpid(client.pid(), nullptr, WNOHANG) == client.pid(); },
                          120s));
    const std::string report = ReadFileBytes(dir.File("client.txt"));
    for (const char* check : {"line ok", "to-device ok", "to-client ok"})
        EXPECT_NE(report.find(check), std::string::npos) << check << "\n" << report << program.Err();
    EXPECT_EQ(test::CountOf(program.Err(), "TLS refused"), 0) << program.Err();
}

}  // namespace
}  // namespace portvale

#endif  // PORTVALE_BINARY

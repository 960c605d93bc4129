// `portvale --headless --rfc2217` against pyserial's own RFC 2217 client, with a
// socat pseudo-terminal pair as the device: line settings answered and reaching the
// device, modem controls answered, 1 MiB of random bytes exact both ways. And a
// hostile peer's overlong subnegotiations, which never reach the device.
#include <sys/socket.h>
#include <sys/stat.h>

#include <fstream>
#include <set>

#include <gtest/gtest.h>

#ifdef PORTVALE_BINARY

#include "tests/headless/HeadlessProgram.h"
#include "tests/sockets/SocketTestSupport.h"

namespace portvale {
namespace {

using namespace std::chrono_literals;
using test::Child;
using test::Program;
using test::ReadFileBytes;
using test::WaitUntil;

// The client's side: one line "<check> ok", "<check> FAIL <why>" or "<check> SKIP
// <why>" per check, then "done". argv: TCP port, the device's pty, its peer's pty.
constexpr char kClient[] = R"PY(
import os, sys, termios, threading, random, serial
port, device, peer = sys.argv[1], sys.argv[2], sys.argv[3]

def report(name, ok, why=''):
    print(name, 'ok' if ok else 'FAIL ' + why, flush=True)

s = serial.serial_for_url('rfc2217://127.0.0.1:' + port, timeout=10)
dev = os.open(device, os.O_RDWR | os.O_NOCTTY)
far = os.open(peer, os.O_RDWR | os.O_NOCTTY)

speeds = {9600: termios.B9600, 57600: termios.B57600, 115200: termios.B115200, 230400: termios.B230400}
for baud, size, parity, stop in [(57600, 7, 'E', 2), (9600, 8, 'N', 1), (115200, 5, 'O', 1),
                                 (230400, 6, 'M', 1), (9600, 8, 'S', 1)]:
    name = 'line-%d-%d%s%d' % (baud, size, parity, stop)
    try:
        # Each assignment waits for the server's answer and fails on another value.
        s.baudrate = baud; s.bytesize = size; s.parity = parity; s.stopbits = stop
    except Exception as e:
        report(name, False, repr(e)); continue
    attrs = termios.tcgetattr(dev)
    report(name, attrs[4] == speeds[baud] and attrs[5] == speeds[baud]
           and bool(attrs[2] & termios.CSTOPB) == (stop == 2), 'termios %r' % (attrs[:6],))

# Two stop bits with five data bits: a line the device refuses. The answer is the
# value it keeps, so the client sees its request rejected, and the line still works.
s.bytesize = 5
try:
    s.stopbits = 2
    report('refused-5-data-2-stop', False, 'accepted')
except ValueError:
    s.stopbits = 1
    s.bytesize = 8
    attrs = termios.tcgetattr(dev)
    report('refused-5-data-2-stop', not (attrs[2] & termios.CSTOPB), 'termios %r' % (attrs[:6],))

for name, attr in [('dtr', 'dtr'), ('rts', 'rts'), ('break', 'break_condition')]:
    try:
        for value in (True, False, True, False):
            setattr(s, attr, value)
        report(name, True)
    except Exception as e:
        report(name, False, repr(e))

rng = random.Random(2217)
def block():
    data = bytearray(rng.getrandbits(8) for _ in range(1 << 20))
    for i in range(0, len(data), 7):
        data[i] = 0xFF
    data[100:104] = b'\r\x00\xff\xff'
    return bytes(data)

def exact(name, data, write, read):
    got = bytearray()
    def reader():
        while len(got) < len(data):
            chunk = read(len(data) - len(got))
            if not chunk:
                break
            got.extend(chunk)
    t = threading.Thread(target=reader); t.start()
    write(data)
    t.join(60)
    report(name, bytes(got) == data, 'got %d of %d bytes, first difference at %s' % (
        len(got), len(data), next((i for i, (a, b) in enumerate(zip(got, data)) if a != b), None)))

def write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view[:65536]):]

exact('mib-to-device', block(), s.write, lambda n: os.read(far, min(n, 65536)))
exact('mib-to-client', block(), lambda d: write_all(far, d), lambda n: s.read(min(n, 65536)))

try:
    s.cts
    print('modem SKIP a pty has no modem lines to change', flush=True)
except Exception as e:
    report('modem', False, repr(e))
s.close()
print('done', flush=True)
)PY";

bool HavePyserial() {
    return ::system("/usr/bin/python3 -c 'import serial.rfc2217' >/dev/null 2>&1") == 0;
}

TEST(Rfc2217RunTest, PyserialClientSetsTheLineAndMovesAMebibyteEachWayExactly) {
    if (!test::HaveCommand("socat")) GTEST_SKIP() << "socat is not installed";
    if (!HavePyserial()) GTEST_SKIP() << "python3-serial is not installed";
    test::ScratchDirectory dir;
    const std::string device = dir.File("device"), peer = dir.File("peer");
    Child socat({"socat", "pty,raw,echo=0,link=" + device, "pty,raw,echo=0,link=" + peer}, dir.File("socat.txt"));
    struct stat info {};
    ASSERT_TRUE(WaitUntil([&] { return ::stat(device.c_str(), &info) == 0 && ::stat(peer.c_str(), &info) == 0; },
                          10s));

    const std::uint16_t port = test::RefusingPort();
    Program program(dir.Path(), {"--headless", "--dir", dir.Path(), "--mode", "server", "--port",
                                 std::to_string(port), "--serial", device, "--rfc2217"});
    ASSERT_TRUE(program.ErrContains("Listening on TCP port " + std::to_string(port))) << program.Err();

    std::ofstream(dir.File("client.py")) << kClient;
    Child client({"/usr/bin/python3", dir.File("client.py"), std::to_string(port), device, peer},
                 dir.File("client.txt"));
    ASSERT_TRUE(WaitUntil([&] { return ReadFileBytes(dir.File("client.txt")).find("done\n") != std::string::npos ||
                                       ::waitpid(client.pid(), nullptr, WNOHANG) == client.pid(); },
                          120s));
    const std::string report = ReadFileBytes(dir.File("client.txt"));
    for (const char* check : {"line-57600-7E2", "line-9600-8N1", "line-115200-5O1", "line-230400-6M1",
                              "line-9600-8S1", "refused-5-data-2-stop", "dtr", "rts", "break", "mib-to-device", "mib-to-client"}) {
        EXPECT_NE(report.find(std::string(check) + " ok\n"), std::string::npos) << check << "\n" << report;
    }
    EXPECT_NE(report.find("modem "), std::string::npos) << report;
    EXPECT_NE(report.find("done\n"), std::string::npos) << report << program.Err();
    // CTS and DSR changes need a device with modem lines; a pty has none.
    if (report.find("modem SKIP") != std::string::npos) std::cout << "modem lines not checked: a pty has none\n";
    EXPECT_EQ(test::CountOf(program.Err(), "refused"), 1) << program.Err();
    EXPECT_NE(program.Err().find("SET-STOPSIZE 2 refused"), std::string::npos) << program.Err();
    EXPECT_EQ(program.Err().find("skipped"), std::string::npos) << program.Err();
}

// A service bridge speaking RFC 2217 on a pty, and a peer that sends a 64 KiB
// subnegotiation between its data, then one that never ends (10 MiB): the device
// gets the data alone, and the log has one line about the drop.
TEST(Rfc2217RunTest, AnOverlongSubnegotiationNeverReachesTheDevice) {
    constexpr char IAC = '\xFF', SB = '\xFA', SE = '\xF0', DO = '\xFD';
    test::ProgramRun run;
    if (!run.pty.ok()) GTEST_SKIP() << "no pseudo-terminal available";
    const std::uint16_t port = run.port;
    Program& program =
        run.StartService(test::BridgeTable("lab", run.pty.path(), test::Listen(port) + "rfc2217 = true\n"));
    ASSERT_TRUE(program.ErrContains("Running 1 bridge")) << program.Err();

    // A SET-BAUDRATE that goes on past the bound (escaped 0xFF in it, one before an SE
    // byte), then what would pass as data or commands were anything but its IAC SE
    // taken as its end: a negotiation, a NOP, another subnegotiation's start.
    std::string body = {'\x01', 0, 0, '\x25', '\x80'};
    while (body.size() < 400) body += {'x', IAC, IAC, SE, 'y'};
    const std::string junk = {'x', IAC, IAC, SE, 'y', IAC, DO, 3, IAC, '\xF1', IAC, SB, 44, 'z'};
    while (body.size() < (64 << 10)) body += junk;
    std::string endless = std::string{IAC, SB, 44} + body;
    while (endless.size() < (10 << 20)) endless += junk;
    int peer = test::ConnectPosix(port);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(test::SendAllPosix(peer, "before" + std::string{IAC, SB, 44} + body + std::string{IAC, SE} + "after" +
                                             std::string{IAC, IAC} + endless));
    ::shutdown(peer, SHUT_WR);
    ASSERT_TRUE(program.ErrContains("[lab] Client Disconnected")) << program.Err();
    ::close(peer);

    // Another connection's data comes behind whatever the first one passed.
    peer = test::ConnectPosix(port);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(test::SendAllPosix(peer, "end"));
    const std::string expected = "beforeafter" + std::string{IAC} + "end";
    EXPECT_EQ(run.pty.Receive(expected.size()), expected);
    ::close(peer);
    const std::string err = program.Err();
    EXPECT_EQ(test::CountOf(err, "RFC 2217"), 1) << err;
    EXPECT_EQ(test::CountOf(err, "[lab] RFC 2217: skipped: subnegotiation of option 44 longer than 256 bytes dropped"),
              1)
        << err;
}

}  // namespace
}  // namespace portvale

#endif  // PORTVALE_BINARY

// A remote port as a local device: the service makes a virtual device whose program
// (pyserial) sets the line, and carries it as an RFC 2217 client to `portvale
// --rfc2217` in front of a socat pseudo-terminal pair. The far device takes each
// setting, 1 MiB goes exact each way, the program sets 8E1 at the speed it already
// has without an error, and the far server's restart is only a pause to it.
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <memory>

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

// The program on the virtual device: one line "<check> ok" or "<check> FAIL <why>"
// per check, "restart-now" when the far server is to be restarted, then "done".
// argv: the virtual device, the far device (the pty the far server has), its peer
// (the far end's own side), the file that appears once the far server is back.
constexpr char kProgram[] = R"PY(
import os, sys, termios, threading, random, time, serial
link, device, peer, restarted = sys.argv[1:5]

def report(name, ok, why=''):
    print(name, 'ok' if ok else 'FAIL ' + why, flush=True)

far_dev = os.open(device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
far = os.open(peer, os.O_RDWR | os.O_NOCTTY)

def wait_for(condition, limit=20):
    deadline = time.time() + limit
    while time.time() < deadline:
        if condition():
            return True
        time.sleep(0.02)
    return False

def far_line(speed, two_stop):
    def holds():
        a = termios.tcgetattr(far_dev)
        return a[4] == speed and a[5] == speed and bool(a[2] & termios.CSTOPB) == two_stop
    return holds

def far_text():
    a = termios.tcgetattr(far_dev)
    return 'far termios %r' % (a[:6],)

s = serial.Serial(link, 57600, bytesize=8, parity='N', stopbits=2, timeout=10)
report('57600-8N2', wait_for(far_line(termios.B57600, True)), far_text())
# A tool that opens the device asks its whole line in one request; the second time
# the pty already has that speed, which glibc would refuse (EINVAL) but for the
# resting speed the slave is put back on.
for name in ('115200-8E1', '115200-8E1-again'):
    try:
        s.close()
        s = serial.Serial(link, 115200, bytesize=8, parity='E', stopbits=1, timeout=10)
        report(name, wait_for(far_line(termios.B115200, False)), far_text())
    except Exception as e:
        report(name, False, repr(e))

rng = random.Random(20)
def block(size):
    data = bytearray(rng.getrandbits(8) for _ in range(size))
    for i in range(0, len(data), 5):
        data[i] = 0xFF
    data[0] = 0
    return bytes(data)

def write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view[:65536]):]

def read_exact(read, size, skip=None):
    got = bytearray()
    deadline = time.time() + 60
    while len(got) < size and time.time() < deadline:
        chunk = read(size - len(got))
        if skip is not None and not got:
            chunk = chunk.lstrip(skip)
        got.extend(chunk)
    return bytes(got)

def exact(name, data, write, read, skip=None):
    result = {}
    t = threading.Thread(target=lambda: result.setdefault('got', read_exact(read, len(data), skip)))
    t.start()
    write(data)
    t.join(90)
    got = result.get('got', b'')
    report(name, got == data, 'got %d of %d bytes, first difference at %s' % (
        len(got), len(data), next((i for i, (a, b) in enumerate(zip(got, data)) if a != b), None)))

exact('mib-to-far', block(1 << 20), s.write, lambda n: os.read(far, min(n, 65536)))
exact('mib-from-far', block(1 << 20), lambda d: write_all(far, d), lambda n: s.read(min(n, 65536)))

# The far server goes away in the middle of this; whatever it had taken is lost
# with it, but the program's writes only wait.
stop = threading.Event()
def drain():
    os.set_blocking(far, False)
    while not stop.is_set():
        try:
            os.read(far, 65536)
        except BlockingIOError:
            time.sleep(0.01)
    os.set_blocking(far, True)
drainer = threading.Thread(target=drain); drainer.start()
try:
    s.write(b'U' * (64 << 10))
    print('restart-now', flush=True)
    s.write(b'U' * (256 << 10))
    report('writes-wait', True)
except Exception as e:
    report('writes-wait', False, repr(e))
if not wait_for(lambda: os.path.exists(restarted), 60):
    report('restarted', False, 'the far server did not come back')
report('line-sent-again', wait_for(far_line(termios.B115200, False)), far_text())
# What was left of the 'U's is the first thing the far end reads after the restart.
report('drained', wait_for(lambda: s.out_waiting == 0, 30))
stop.set(); drainer.join()
exact('after-restart-to-far', block(64 << 10), s.write, lambda n: os.read(far, min(n, 65536)), b'U')
exact('after-restart-from-far', block(64 << 10), lambda d: write_all(far, d), lambda n: s.read(min(n, 65536)))
s.close()
print('done', flush=True)
)PY";

bool HavePyserial() { return ::system("/usr/bin/python3 -c 'import serial' >/dev/null 2>&1") == 0; }

TEST(VirtualDeviceRunTest, ProgramSetsTheFarLineAndSurvivesTheFarServersRestart) {
    if (!test::HaveCommand("socat")) GTEST_SKIP() << "socat is not installed";
    if (!HavePyserial()) GTEST_SKIP() << "python3-serial is not installed";
    test::ScratchDirectory dir;
    const std::string device = dir.File("device"), peer = dir.File("peer"), link = dir.File("dev/ttyV0");
    Child socat({"socat", "pty,raw,echo=0,link=" + device, "pty,raw,echo=0,link=" + peer}, dir.File("socat.txt"));
    struct stat info {};
    ASSERT_TRUE(WaitUntil([&] { return ::stat(device.c_str(), &info) == 0 && ::stat(peer.c_str(), &info) == 0; },
                          10s));
    const std::uint16_t port = test::RefusingPort();
    const std::vector<std::string> farArgs{"--headless", "--dir", dir.File("far"), "--mode", "server", "--port",
                                           std::to_string(port), "--serial", device, "--baud", "9600", "--rfc2217"};
    ::mkdir(dir.File("far").c_str(), 0700);
    ::mkdir(dir.File("far2").c_str(), 0700);
    ::mkdir(dir.File("near").c_str(), 0700);
    auto far = std::make_unique<Program>(dir.File("far"), farArgs);
    ASSERT_TRUE(far->ErrContains("Listening on TCP port")) << far->Err();

    std::ofstream(dir.File("near/portvale.toml"))
        << "[[bridge]]\nname = \"remote\"\nserial = \"pty:" << link << "\"\nconnect = \"127.0.0.1:" << port
        << "\"\nrfc2217 = true\nreconnect = 1\n";
    Program near(dir.File("near"), {"--headless", "--config", dir.File("near/portvale.toml")});
    ASSERT_TRUE(near.ErrContains("Connected to Server")) << near.Err();

    std::ofstream(dir.File("program.py")) << kProgram;
    Child program({"/usr/bin/python3", dir.File("program.py"), link, device, peer, dir.File("restarted")},
                  dir.File("program.txt"));
    const auto report = [&] { return ReadFileBytes(dir.File("program.txt")); };
    const auto ended = [&] { return ::waitpid(program.pid(), nullptr, WNOHANG) == program.pid(); };
    ASSERT_TRUE(WaitUntil([&] { return report().find("restart-now") != std::string::npos || ended(); }, 120s));
    ASSERT_NE(report().find("restart-now"), std::string::npos) << report() << near.Err();

    far->Signal(SIGTERM);
    EXPECT_EQ(0, far->Wait());
    far = std::make_unique<Program>(dir.File("far2"), farArgs);
    ASSERT_TRUE(far->ErrContains("Client Connected", 20s)) << far->Err() << near.Err();
    std::ofstream(dir.File("restarted")) << "";

    ASSERT_TRUE(WaitUntil([&] { return report().find("done\n") != std::string::npos || ended(); }, 180s));
    const std::string text = report();
    for (const char* check : {"57600-8N2", "115200-8E1", "115200-8E1-again", "mib-to-far", "mib-from-far",
                              "writes-wait", "line-sent-again", "drained", "after-restart-to-far",
                              "after-restart-from-far"}) {
        EXPECT_NE(text.find(std::string(check) + " ok\n"), std::string::npos) << check << "\n" << text << near.Err();
    }
    EXPECT_NE(near.Err().find("Line settings: 115200 8N1"), std::string::npos) << near.Err();

    // The link goes with the service.
    near.Signal(SIGTERM);
    EXPECT_EQ(0, near.Wait());
    EXPECT_NE(0, ::lstat(link.c_str(), &info));
}

}  // namespace
}  // namespace portvale

#endif  // PORTVALE_BINARY

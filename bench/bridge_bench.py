#!/usr/bin/env python3
"""Bridge benchmark: portvale --headless against socat, same machine, same run.

Measures a TCP <-> serial bridge on loopback TCP and a pseudo-terminal pair:
throughput TCP->serial, serial->TCP and both at once (random bytes, checked byte
for byte), round-trip latency of 1-byte messages, CPU time per MiB forwarded,
peak RSS, and CPU used while a connection sits idle. portvale and socat are run
interleaved (portvale, socat, portvale, socat, ...) and the medians are printed
with the ratio portvale/socat.

The cost of the capture file is measured the same way: portvale with
`--capture DIR/capture.txt --capture-max 64` is a third bridge in the rotation, and
its figures are compared with plain portvale's (target: throughput ratio >= 0.9).
The share of the forwarded bytes that reached the capture (from the counters line
at the end of the run) is printed beside them: the capture's writer keeps to a small
share of a processor and leaves out what it cannot keep up with, rather than slow
the bridge.

For every bridge run a fresh `socat pty,rawer,link=DIR/dev pty,rawer,link=DIR/peer`
plays the wire: the bridge opens DIR/dev, this script is the device on DIR/peer
and the TCP peer on 127.0.0.1.

CPU per MiB, CPU per round trip and idle CPU come from the threads' schedstat run
time (utime+stime in /proc/PID/stat where there is none), peak RSS from VmHWM.
Targets: throughput at least socat's in each direction and both at once, round trip
median at most 1.1x and p99 at most 1.3x socat's, CPU per MiB at most 1.3x, CPU per
round trip at most 1.5x, peak RSS of portvale at most 8 MiB, no CPU while idle. socat is single-threaded
with blocking writes: at -b 65536 it deadlocks with the pty pair's socat relay when
both directions are saturated; the both-at-once figure for socat then comes from a
fresh socat -b 512 and is marked with '*'.

The window is measured the same way with --window: build/bench/window_bridge is the
real main window (controls, Qt peers, panes) under QT_QPA_PLATFORM=offscreen, set to
server mode and started with "Com-Port On" and "TCP Listen" through its controls,
once per Incoming Format (window-string, window-binary, window-decimal, window-hex),
each compared with plain portvale --headless of the same runs (targets: throughput
ratio >= 0.5 in every format and direction, CPU per MiB at most 3 times headless in
Hex, peak RSS at most 80 MiB in Hex after the 64 MiB of a run).

TLS is measured with --tls: portvale behind a socat relay that speaks plain TCP to
this script and TLS to the bridge ("tls", certificates made for the run by
tests/headless/make-test-certificates.sh), against the same bridge behind a plain
socat relay ("relay"), in the same runs (target: throughput ratio >= 0.7 each way).

Run (after `cmake --build build`):
    bench/bridge_bench.py             # 16 MiB per direction, 3 repetitions
    bench/bridge_bench.py --quick     # 4 MiB, 1 repetition, 200 latency samples
Options: --portvale PATH, --size MIB, --reps N, --latency N, --idle SECONDS,
--no-capture (leave the capture run out), --window (add the window in each format).
Exit code 1 when a bridge lost, added or changed bytes, hung, or failed to start.
Python 3 standard library only; needs socat.
"""

import argparse
import datetime
import errno
import os
import platform
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import termios
import time

CLK_TCK = os.sysconf("SC_CLK_TCK")
MIB = 1024 * 1024
STALL_SECONDS = 10.0
DEADLOCK_SECONDS = 2.0
# socat block size used for the full-duplex run when socat -b 65536 deadlocks there.
SOCAT_FALLBACK_BLOCK = 512
KINDS = ("portvale", "socat", "capture")
# The test certificates of a --tls run.
CERTS = None
# Bridges that are portvale (with or without a capture file).
PORTVALE_KINDS = ("portvale", "capture", "relay", "tls")
# Reached through a socat relay: plain TCP, or TLS to the bridge.
RELAY_KINDS = ("relay", "tls")
CAPTURE_MAX_MB = 64
WINDOW_FORMATS = ("string", "binary", "decimal", "hex")
WINDOW_KINDS = tuple(f"window-{f}" for f in WINDOW_FORMATS)


def is_portvale(kind):
    return kind in PORTVALE_KINDS or kind in WINDOW_KINDS


class BridgeFailure(Exception):
    """The bridge under test misbehaved (lost/changed bytes, hang, early exit)."""

    def __init__(self, message, data_error=False):
        super().__init__(message)
        self.data_error = data_error


class WriteDeadlock(BridgeFailure):
    """The bridge and the pty pair's relay are both stuck in write(): each waits for the
    other to read. A single-threaded relay with blocking writes (socat) does this under
    full-duplex load through a relay of the same kind."""


# ----------------------------------------------------------------------------
# /proc helpers

def listening_on(port):
    """True when some socket is in LISTEN state on the TCP port."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for line in f:
                    fields = line.split()
                    local, state = fields[1], fields[3]
                    if state == "0A" and int(local.rsplit(":", 1)[1], 16) == port:
                        return True
        except OSError:
            pass
    return False


def cpu_ticks(pid):
    """utime + stime of the whole process, in clock ticks."""
    with open(f"/proc/{pid}/stat") as f:
        rest = f.read().rsplit(")", 1)[1].split()
    return int(rest[11]) + int(rest[12])


def runtime_ns(pid):
    """Sum of on-CPU time of the live threads (schedstat), in ns; None if unavailable."""
    total = 0
    try:
        for tid in os.listdir(f"/proc/{pid}/task"):
            try:
                with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                    total += int(f.read().split()[0])
            except (OSError, ValueError, IndexError):
                pass
    except OSError:
        return None
    return total


def cpu_ms(pid):
    """CPU time of the process in ms: the threads' schedstat (ns, so short spans such
    as a latency run are measured), else utime + stime (10 ms ticks)."""
    ns = runtime_ns(pid)
    return ns / 1e6 if ns is not None else cpu_ticks(pid) / CLK_TCK * 1000.0


def status_field_kib(pid, name):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(name + ":"):
                return int(line.split()[1])
    return None


def thread_count(pid):
    try:
        return len(os.listdir(f"/proc/{pid}/task"))
    except OSError:
        return None


def where_waiting(pid):
    """Per thread: state, kernel wait channel and current syscall number (for hang reports)."""
    out = []
    try:
        tids = sorted(os.listdir(f"/proc/{pid}/task"), key=int)
    except OSError:
        return "(gone)"
    for tid in tids:
        base = f"/proc/{pid}/task/{tid}"
        try:
            with open(base + "/stat") as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
            with open(base + "/wchan") as f:
                wchan = f.read().strip() or "-"
            try:
                with open(base + "/syscall") as f:
                    call = f.read().split()[0]
            except OSError:
                call = "?"
            call = SYSCALL_NAMES.get(call, "syscall " + call)
            out.append(f"{tid}:{state}/{wchan}/{call}")
        except OSError:
            pass
    return ", ".join(out)


SYSCALL_NAMES = {"0": "read", "1": "write", "7": "poll", "23": "select", "232": "epoll_wait",
                 "202": "futex", "270": "pselect6", "271": "ppoll", "19": "readv",
                 "20": "writev", "281": "epoll_pwait", "-1": "running"}


def has_open(pid, target):
    try:
        for fd in os.listdir(f"/proc/{pid}/fd"):
            try:
                if os.readlink(f"/proc/{pid}/fd/{fd}") == target:
                    return True
            except OSError:
                pass
    except OSError:
        pass
    return False


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


# ----------------------------------------------------------------------------
# small utilities

def wait_for(predicate, timeout, step=0.01):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_raw(fd):
    """cfmakeraw() on fd."""
    attrs = termios.tcgetattr(fd)
    attrs[0] &= ~(termios.IGNBRK | termios.BRKINT | termios.PARMRK | termios.ISTRIP
                  | termios.INLCR | termios.IGNCR | termios.ICRNL | termios.IXON
                  | termios.IXOFF | termios.INPCK)
    attrs[1] &= ~termios.OPOST
    attrs[2] &= ~(termios.CSIZE | termios.PARENB | termios.CRTSCTS)
    attrs[2] |= termios.CS8 | termios.CREAD | termios.CLOCAL
    attrs[3] &= ~(termios.ECHO | termios.ECHONL | termios.ICANON | termios.ISIG
                  | termios.IEXTEN)
    attrs[6][termios.VMIN] = 1
    attrs[6][termios.VTIME] = 0
    termios.tcsetattr(fd, termios.TCSANOW, attrs)


def first_difference(a, b, length):
    """Offset of the first differing byte among the first `length` bytes, or -1."""
    step = 1 << 16
    for start in range(0, length, step):
        end = min(length, start + step)
        if a[start:end] != b[start:end]:
            for i in range(start, end):
                if a[i] != b[i]:
                    return i
    return -1


def percentile(values, p):
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    k = (len(ordered) - 1) * p / 100.0
    lo = int(k)
    hi = min(lo + 1, len(ordered) - 1)
    return ordered[lo] + (ordered[hi] - ordered[lo]) * (k - lo)


def loud(message):
    bar = "!" * 78
    print(f"\n{bar}\n!!! {message}\n{bar}\n", file=sys.stderr, flush=True)


# ----------------------------------------------------------------------------
# one bridge run: pty pair + bridge process + TCP peer + device

class Stream:
    """One direction of traffic: payload written to one end, expected at the other."""

    def __init__(self, name, payload):
        self.name = name
        self.payload = memoryview(payload)
        self.sent = 0
        self.received = bytearray(len(payload))
        self.view = memoryview(self.received)
        self.got = 0
        self.extra = 0
        self.extra_sample = b""
        self.done_at = None

    @property
    def size(self):
        return len(self.payload)


class BridgeRun:
    def __init__(self, kind, portvale, workdir, socat_block=65536, window_bridge=None):
        self.kind = kind
        self.window_bridge = window_bridge
        self.socat_block = socat_block
        self.portvale = portvale
        self.dir = tempfile.mkdtemp(prefix=f"{kind}-", dir=workdir)
        self.dev = os.path.join(self.dir, "dev")
        self.peer = os.path.join(self.dir, "peer")
        self.pair = None
        self.relay = None
        self.proc = None
        self.peer_fd = None
        self.sock = None
        self.port = None
        self.err_path = os.path.join(self.dir, "bridge.stderr")
        self._files = []
        self._pollers = {}

    # -- lifecycle -----------------------------------------------------------

    def _spawn(self, cmd, err_path, env=None):
        err = open(err_path, "wb")
        self._files.append(err)
        # Own process group: a terminal Ctrl+C reaches only this script, which
        # then stops the children in order.
        return subprocess.Popen(cmd, cwd=self.dir, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=err,
                                process_group=0, env=env)

    def bridge_log(self):
        try:
            with open(self.err_path, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def start(self):
        self.pair = self._spawn(["socat", f"pty,rawer,link={self.dev}",
                                 f"pty,rawer,link={self.peer}"],
                                os.path.join(self.dir, "pair.stderr"))
        if not wait_for(lambda: os.path.exists(self.dev) and os.path.exists(self.peer), 10):
            raise RuntimeError("socat pty pair did not come up")
        self.peer_fd = os.open(self.peer, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        make_raw(self.peer_fd)

        self.port = free_port()
        env = None
        if self.kind in WINDOW_KINDS:
            cmd = [self.window_bridge, "--port", str(self.port), "--serial", self.dev,
                   "--format", self.kind.split("-", 1)[1]]
            if os.environ.get("WINDOW_PANES") == "off":
                cmd += ["--panes", "off"]
            env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        elif self.kind in PORTVALE_KINDS:
            cmd = [self.portvale, "--headless", "--dir", self.dir, "--mode", "server",
                   "--port", str(self.port), "--serial", self.dev]
            if self.kind == "capture":
                cmd += ["--capture", os.path.join(self.dir, "capture.txt"),
                        "--capture-max", str(CAPTURE_MAX_MB)]
            if self.kind == "tls":
                cmd += ["--tls-cert", os.path.join(CERTS, "server.pem"),
                        "--tls-key", os.path.join(CERTS, "server.key")]
        else:
            cmd = ["socat", "-b", str(self.socat_block),
                   f"TCP-LISTEN:{self.port},bind=127.0.0.1,reuseaddr",
                   f"OPEN:{self.dev},rawer"]
        self.proc = self._spawn(cmd, self.err_path, env)
        if not wait_for(lambda: listening_on(self.port) or self.proc.poll() is not None, 15):
            raise BridgeFailure(f"{self.kind}: not listening on port {self.port} after 15 s\n"
                                + self.bridge_log())
        if self.proc.poll() is not None:
            raise BridgeFailure(f"{self.kind} exited with {self.proc.returncode} before "
                                f"listening:\n{self.bridge_log()}")

        connect_to = self.port
        if self.kind in RELAY_KINDS:
            relay_port = free_port()
            far = (f"OPENSSL:127.0.0.1:{self.port},cafile={os.path.join(CERTS, 'ca.pem')},"
                   "commonname=localhost" if self.kind == "tls" else f"TCP:127.0.0.1:{self.port}")
            self.relay = self._spawn(["socat", "-b", "65536",
                                      f"TCP-LISTEN:{relay_port},bind=127.0.0.1,reuseaddr", far],
                                     os.path.join(self.dir, "relay.stderr"))
            if not wait_for(lambda: listening_on(relay_port), 10):
                raise BridgeFailure(f"{self.kind}: the socat relay did not listen")
            connect_to = relay_port
        self.sock = socket.create_connection(("127.0.0.1", connect_to), timeout=5)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.setblocking(False)

        if is_portvale(self.kind):
            ok = wait_for(lambda: "Client Connected" in self.bridge_log()
                          or self.proc.poll() is not None, 10)
            what = "no 'Client Connected' status line"
        else:
            target = os.path.realpath(self.dev)
            ok = wait_for(lambda: has_open(self.proc.pid, target)
                          or self.proc.poll() is not None, 10)
            what = f"{target} not opened"
        if self.proc.poll() is not None:
            raise BridgeFailure(f"{self.kind} exited with {self.proc.returncode} after the "
                                f"connection:\n{self.bridge_log()}")
        if not ok:
            raise BridgeFailure(f"{self.kind}: {what} within 10 s after connecting\n"
                                + self.bridge_log())
        time.sleep(0.1)  # let the bridge finish configuring the port
        self.round_trip(0x5A, timeout=5.0)  # both directions forward before timing

    def stop(self):
        """Stop everything; returns the bridge's exit code (None if it had to be killed)."""
        code = None
        if self.sock is not None:
            self.sock.close()
            self.sock = None
        for proc, is_bridge in ((self.relay, False), (self.proc, True), (self.pair, False)):
            if proc is None:
                continue
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
                    if is_bridge:
                        loud(f"{self.kind} (pid {proc.pid}) did not stop within 5 s of "
                             f"SIGTERM; killed")
                        self.proc = None
                        continue
            if is_bridge:
                code = proc.returncode
        self.proc = self.pair = self.relay = None
        if self.peer_fd is not None:
            os.close(self.peer_fd)
            self.peer_fd = None
        for f in self._files:
            f.close()
        self._files = []
        return code

    def remove(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    # -- checks --------------------------------------------------------------

    def check_alive(self):
        if self.proc.poll() is not None:
            raise BridgeFailure(f"{self.kind} exited with {self.proc.returncode}:\n"
                                + self.bridge_log())

    # -- traffic -------------------------------------------------------------

    def round_trip(self, value, timeout=5.0):
        """TCP sends one byte, device answers one byte; returns elapsed ns."""
        out = bytes((value,))
        back = bytes((value ^ 0xFF,))
        t0 = time.perf_counter_ns()
        self.sock.send(out)
        got = self._read_exact_one(self.peer_fd, None, timeout, "TCP->serial")
        if got != out:
            raise BridgeFailure(f"{self.kind}: latency probe TCP->serial sent {out.hex()} "
                                f"but the device read {got.hex()}", data_error=True)
        os.write(self.peer_fd, back)
        got = self._read_exact_one(None, self.sock, timeout, "serial->TCP")
        t1 = time.perf_counter_ns()
        if got != back:
            raise BridgeFailure(f"{self.kind}: latency probe serial->TCP sent {back.hex()} "
                                f"but TCP read {got.hex()}", data_error=True)
        return t1 - t0

    def _read_exact_one(self, fd, sock, timeout, direction):
        poller = self._pollers.get((fd, sock))
        if poller is None:
            poller = select.poll()
            poller.register(fd if sock is None else sock.fileno(), select.POLLIN)
            self._pollers[(fd, sock)] = poller
        deadline = time.monotonic() + timeout
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                self.check_alive()
                raise BridgeFailure(f"{self.kind}: 1-byte message {direction} not delivered "
                                    f"within {timeout:.0f} s")
            if not poller.poll(remaining * 1000):
                continue
            try:
                data = sock.recv(16) if sock is not None else os.read(fd, 16)
            except (BlockingIOError, InterruptedError):
                continue
            if sock is not None and not data:
                raise BridgeFailure(f"{self.kind}: closed the TCP connection")
            if len(data) != 1:
                raise BridgeFailure(f"{self.kind}: {direction} expected 1 byte, got "
                                    f"{len(data)}: {data[:16].hex()}", data_error=True)
            return data

    def transfer(self, to_serial, to_tcp):
        """Push payloads through; returns {direction: seconds}. Raises on any difference."""
        streams = []
        t2s = s2t = None
        if to_serial is not None:
            t2s = Stream("TCP->serial", to_serial)
            streams.append(t2s)
        if to_tcp is not None:
            s2t = Stream("serial->TCP", to_tcp)
            streams.append(s2t)
        sfd = self.sock.fileno()
        pfd = self.peer_fd
        poller = select.poll()
        poller.register(sfd, select.POLLIN)
        poller.register(pfd, select.POLLIN)
        scratch = bytearray(65536)
        last_progress = start = time.perf_counter()
        pending = len(streams)
        deadlock_checked_at = None

        def feed(stream, elapsed_from):
            nonlocal pending, last_progress
            last_progress = time.perf_counter()
            if stream.got == stream.size and stream.done_at is None:
                stream.done_at = last_progress - elapsed_from
                pending -= 1

        while pending:
            s_ev = select.POLLIN
            p_ev = select.POLLIN
            if t2s is not None and t2s.sent < t2s.size:
                s_ev |= select.POLLOUT
            if s2t is not None and s2t.sent < s2t.size:
                p_ev |= select.POLLOUT
            poller.modify(sfd, s_ev)
            poller.modify(pfd, p_ev)
            events = poller.poll(1000)
            now = time.perf_counter()
            if not events and now - last_progress > STALL_SECONDS:
                self._stall(streams)
            if now - last_progress > DEADLOCK_SECONDS and deadlock_checked_at != last_progress:
                deadlock_checked_at = last_progress
                self._check_write_deadlock(streams)
            for fd, ev in events:
                if fd == sfd:
                    if ev & (select.POLLIN | select.POLLHUP | select.POLLERR):
                        self._read_sock(s2t, scratch, feed, start)
                    if ev & select.POLLOUT and t2s is not None and t2s.sent < t2s.size:
                        try:
                            n = self.sock.send(t2s.payload[t2s.sent:t2s.sent + 262144])
                            t2s.sent += n
                            last_progress = time.perf_counter()
                        except (BlockingIOError, InterruptedError):
                            pass
                else:
                    if ev & (select.POLLIN | select.POLLHUP | select.POLLERR):
                        self._read_pty(t2s, scratch, feed, start)
                    if ev & select.POLLOUT and s2t is not None and s2t.sent < s2t.size:
                        try:
                            n = os.write(pfd, s2t.payload[s2t.sent:s2t.sent + 65536])
                            s2t.sent += n
                            last_progress = time.perf_counter()
                        except (BlockingIOError, InterruptedError):
                            pass
            if events and now - last_progress > STALL_SECONDS:
                self._stall(streams)

        # Anything more arriving shortly after is surplus.
        deadline = time.perf_counter() + 0.1
        while time.perf_counter() < deadline:
            for fd, ev in poller.poll(20):
                if fd == sfd:
                    self._read_sock(s2t, scratch, None, start)
                else:
                    self._read_pty(t2s, scratch, None, start)
        for s in streams:
            self._verify(s)
        return {s.name: s.done_at for s in streams}

    def _read_sock(self, stream, scratch, feed, start):
        try:
            if stream is not None and stream.got < stream.size:
                n = self.sock.recv_into(stream.view[stream.got:], stream.size - stream.got)
                if n:
                    stream.got += n
                    if feed:
                        feed(stream, start)
            else:
                n = self.sock.recv_into(scratch)
                if n:
                    self._surplus(stream, "serial->TCP", n, bytes(scratch[:n]))
        except (BlockingIOError, InterruptedError):
            return
        if n == 0:
            raise BridgeFailure(f"{self.kind}: closed the TCP connection during the "
                                f"transfer\n{self.bridge_log()}")

    def _read_pty(self, stream, scratch, feed, start):
        try:
            if stream is not None and stream.got < stream.size:
                n = os.readv(self.peer_fd, [stream.view[stream.got:]])
                if n:
                    stream.got += n
                    if feed:
                        feed(stream, start)
            else:
                n = os.readv(self.peer_fd, [scratch])
                if n:
                    self._surplus(stream, "TCP->serial", n, bytes(scratch[:n]))
        except (BlockingIOError, InterruptedError):
            return
        except OSError as e:
            if e.errno == errno.EIO:
                raise BridgeFailure(f"{self.kind}: the pty pair went away (EIO)")
            raise

    def _surplus(self, stream, direction, n, sample):
        """Bytes beyond the payload (or in a direction that carried none)."""
        if stream is not None:
            if not stream.extra:
                stream.extra_sample = sample[:32]
            stream.extra += n
            return
        raise BridgeFailure(f"BYTE MISMATCH ({self.kind}, {direction}): {n} byte(s) "
                            f"received in a direction that carried no payload: "
                            f"{sample[:32].hex(' ')}", data_error=True)

    def _verify(self, s):
        problems = []
        if s.got != s.size:
            problems.append(f"received {s.got} of {s.size} bytes")
        off = first_difference(s.received, s.payload, s.got)
        if off >= 0:
            lo = max(0, off - 8)
            problems.append(
                f"first difference at offset {off} of {s.size}"
                f"\n    sent     [{lo}..] {bytes(s.payload[lo:off + 16]).hex(' ')}"
                f"\n    received [{lo}..] {bytes(s.received[lo:off + 16]).hex(' ')}")
        if s.extra:
            problems.append(f"{s.extra} byte(s) more than sent, the first of them: "
                            f"{s.extra_sample.hex(' ')}")
        if problems:
            raise BridgeFailure(f"BYTE MISMATCH ({self.kind}, {s.name}): "
                                + "; ".join(problems), data_error=True)

    def _progress_lines(self, streams):
        lines = []
        for s in streams:
            ok = first_difference(s.received, s.payload, s.got)
            lines.append(f"    {s.name}: written {s.sent} of {s.size}, received {s.got}"
                         + (", received prefix matches" if ok < 0
                            else f", received prefix differs at offset {ok}"))
        return lines

    def _check_write_deadlock(self, streams):
        def in_write(pid):
            w = where_waiting(pid)
            return w != "(gone)" and all(t.endswith("/write") for t in w.split(", "))
        if in_write(self.proc.pid) and in_write(self.pair.pid):
            time.sleep(0.5)
            if in_write(self.proc.pid) and in_write(self.pair.pid):
                raise WriteDeadlock(
                    "\n".join([f"{self.kind}: write deadlock with the pty pair relay: both "
                               f"blocked in write() for {DEADLOCK_SECONDS:.0f} s"]
                              + self._progress_lines(streams)), data_error=True)

    def _stall(self, streams):
        self.check_alive()
        lines = [f"{self.kind}: no progress for {STALL_SECONDS:.0f} s (hang or lost bytes)"]
        lines += self._progress_lines(streams)
        for who, proc in ((self.kind, self.proc), ("pty pair socat", self.pair)):
            lines.append(f"    {who} (pid {proc.pid}) is waiting in: {where_waiting(proc.pid)}")
        raise BridgeFailure("\n".join(lines), data_error=True)


# ----------------------------------------------------------------------------
# measurement of one bridge run

def measure(kind, args, workdir, payloads):
    """One bridge run: throughput, CPU, RSS, latency, idle. Returns a dict of figures."""
    result = {}
    a, b, c, d = payloads
    run = BridgeRun(kind, args.portvale, workdir, window_bridge=args.window_bridge)
    try:
        run.start()
        pid = run.proc.pid
        ms0 = cpu_ms(pid)
        result["tput_t2s"] = args.size / run.transfer(a, None)["TCP->serial"]
        ms1 = cpu_ms(pid)
        result["tput_s2t"] = args.size / run.transfer(None, b)["serial->TCP"]
        ms2 = cpu_ms(pid)
        result["cpu_per_mib"] = (ms2 - ms0) / (2 * args.size)
        result["cpu_per_mib_t2s"] = (ms1 - ms0) / args.size
        result["cpu_per_mib_s2t"] = (ms2 - ms1) / args.size
        try:
            t = run.transfer(c, d)
            ms3 = cpu_ms(pid)
            result["tput_both"] = 2 * args.size / max(t.values())
            result["cpu_per_mib_both"] = (ms3 - ms2) / (2 * args.size)
        except WriteDeadlock as e:
            if kind != "socat":
                raise
            result["both_note"] = str(e).splitlines()[0]
        result["rss_peak"] = status_field_kib(pid, "VmHWM") / 1024.0
        result["threads"] = thread_count(pid)
        if "both_note" in result:
            # This socat is stuck for good: a fresh one for the rest, and a smaller
            # block size (which does not deadlock here) for the full-duplex figure.
            run.stop()
            run.remove()
            run = BridgeRun(kind, args.portvale, workdir, socat_block=SOCAT_FALLBACK_BLOCK)
            run.start()
            k0 = cpu_ms(run.proc.pid)
            try:
                t = run.transfer(c, d)
                result["tput_both"] = 2 * args.size / max(t.values())
                result["cpu_per_mib_both"] = (cpu_ms(run.proc.pid) - k0) / (2 * args.size)
                result["both_fallback"] = True
            except WriteDeadlock as e:
                result["both_note"] += f"; with -b {SOCAT_FALLBACK_BLOCK} too"
            run.stop()
            run.remove()
            run = BridgeRun(kind, args.portvale, workdir)
            run.start()
            pid = run.proc.pid
        else:
            # Round trips on a fresh bridge and pty pair for every kind, as socat has
            # one after its deadlock: else one side would be timed after 96 MiB
            # through it and its pty pair, the other fresh.
            code = run.stop()
            note_first_run(kind, run, code, result)
            run.remove()
            run = BridgeRun(kind, args.portvale, workdir, window_bridge=args.window_bridge)
            run.start()
            pid = run.proc.pid

        for i in range(args.warmup):
            run.round_trip(i & 0xFF)
        c0 = cpu_ms(pid)
        samples = [run.round_trip(i & 0xFF) / 1000.0 for i in range(args.latency)]
        result["cpu_per_rtt"] = (cpu_ms(pid) - c0) * 1000.0 / args.latency
        result["lat_median"] = statistics.median(samples)
        result["lat_p99"] = percentile(samples, 99)

        r0, k0, w0 = runtime_ns(pid), cpu_ticks(pid), time.perf_counter()
        time.sleep(args.idle)
        r1, k1, w1 = runtime_ns(pid), cpu_ticks(pid), time.perf_counter()
        if r0 is not None and r1 is not None and r1 >= r0:
            result["idle_cpu"] = (r1 - r0) / 1e6 / (w1 - w0)
        else:
            result["idle_cpu"] = (k1 - k0) / CLK_TCK * 1000.0 / (w1 - w0)
        run.round_trip(0xA5)  # still forwarding after the pause
        run.check_alive()
    finally:
        code = run.stop()
        note_first_run(kind, run, code, result)
        run.remove()
    return result


def note_first_run(kind, run, code, result):
    """After a bridge stopped: its exit code, and for the capture run the share of the
    forwarded bytes its file kept (from the throughput run, the first one)."""
    if kind == "capture" and "capture_kept" not in result:
        counters = last_counters(run.bridge_log())
        forwarded = counters.get("tcp_com_bytes", 0) + counters.get("com_tcp_bytes", 0)
        if forwarded and "capture_lost_bytes" in counters:
            result["capture_kept"] = 1.0 - counters["capture_lost_bytes"] / forwarded
    if is_portvale(kind) and code not in (0, None) and "exit_note" not in result:
        result["exit_note"] = f"exit code {code} after SIGTERM (expected 0)"


def last_counters(log):
    """The key=value pairs of the last 'Counters:' line of a portvale log."""
    values = {}
    lines = [l for l in log.splitlines() if "Counters: " in l]
    if lines:
        for pair in lines[-1].split("Counters: ", 1)[1].split():
            key, _, value = pair.partition("=")
            if value.isdigit():
                values[key] = int(value)
    return values


# ----------------------------------------------------------------------------
# report

METRICS = [
    # key, label, format, target text, check(portvale, socat, ratio) -> bool, or None
    ("tput_t2s", "throughput TCP->serial (MiB/s)", "{:.1f}", "ratio >= 1.0",
     lambda pv, so, r: r >= 1.0),
    ("tput_s2t", "throughput serial->TCP (MiB/s)", "{:.1f}", "ratio >= 1.0",
     lambda pv, so, r: r >= 1.0),
    ("tput_both", "throughput both at once, sum (MiB/s)", "{:.1f}", "ratio >= 1.0",
     lambda pv, so, r: r >= 1.0),
    ("lat_median", "latency 1-byte round trip median (us)", "{:.1f}", "ratio <= 1.1",
     lambda pv, so, r: r <= 1.1),
    ("lat_p99", "latency 1-byte round trip p99 (us)", "{:.1f}", "ratio <= 1.3",
     lambda pv, so, r: r <= 1.3),
    ("cpu_per_rtt", "CPU per round trip (us)", "{:.1f}", "ratio <= 1.5",
     lambda pv, so, r: r <= 1.5),
    ("cpu_per_mib", "CPU per MiB, one-way runs (ms)", "{:.2f}", "ratio <= 1.3",
     lambda pv, so, r: r <= 1.3),
    ("cpu_per_mib_t2s", "CPU per MiB, TCP->serial (ms)", "{:.2f}", "-", None),
    ("cpu_per_mib_s2t", "CPU per MiB, serial->TCP (ms)", "{:.2f}", "-", None),
    ("cpu_per_mib_both", "CPU per MiB, both-at-once run (ms)", "{:.2f}", "-", None),
    ("rss_peak", "peak RSS after throughput (MiB)", "{:.1f}", "portvale <= 8",
     lambda pv, so, r: pv <= 8.0),
    ("idle_cpu", "idle CPU, connection open (ms/s)", "{:.3f}", "portvale < 1",
     lambda pv, so, r: pv < 1.0),
    ("threads", "threads", "{:.0f}", "-", None),
]
FALLBACK_KEYS = ("tput_both", "cpu_per_mib_both")


def median_of(rows, key):
    xs = [r[key] for r in rows if key in r]
    return statistics.median(xs) if xs else None


CAPTURE_METRICS = [
    # key, label, format, target text, check(with capture, without, ratio) -> bool, or None
    ("tput_t2s", "throughput TCP->serial (MiB/s)", "{:.1f}", "ratio >= 0.9",
     lambda c, p, r: r >= 0.9),
    ("tput_s2t", "throughput serial->TCP (MiB/s)", "{:.1f}", "ratio >= 0.9",
     lambda c, p, r: r >= 0.9),
    ("tput_both", "throughput both at once, sum (MiB/s)", "{:.1f}", "ratio >= 0.9",
     lambda c, p, r: r >= 0.9),
    ("lat_median", "latency 1-byte round trip median (us)", "{:.1f}", "-", None),
    ("cpu_per_mib", "CPU per MiB, one-way runs (ms)", "{:.2f}", "-", None),
    ("rss_peak", "peak RSS after throughput (MiB)", "{:.1f}", "-", None),
    ("threads", "threads", "{:.0f}", "-", None),
]


def comparison_table(a_rows, b_rows, names, metrics, target_width=14):
    """Prints one row per metric: bridge a, bridge b, the ratio a/b, the target and
    whether it was met. metrics: (key, label, format, target text, check(a, b, ratio)
    -> bool, or None). Returns True when every checked target was met."""
    header = (f"{'metric':<40}{names[0]:>10}{names[1]:>11}{'ratio':>8}  "
              f"{'target':<{target_width}}{'result'}")
    print(header)
    print("-" * len(header))
    ok_all = True
    for key, label, fmt, target, check in metrics:
        av = median_of(a_rows, key)
        bv = median_of(b_rows, key)
        cell = lambda v: (fmt.format(v) if v is not None else "n/a")
        ratio = av / bv if (av is not None and bv) else None
        rtxt = f"{ratio:.2f}" if ratio is not None else "n/a"
        verdict = ""
        if check is not None:
            if ratio is None:
                verdict = "no data"
                ok_all = False
            else:
                ok = check(av, bv, ratio)
                verdict = "ok" if ok else "MISSED"
                ok_all &= ok
        print(f"{label:<40}{cell(av):>10}{cell(bv):>11}{rtxt:>8}  {target:<{target_width}}{verdict}")
    return ok_all


def report_capture(results):
    """The capture's cost: portvale --capture against plain portvale. True when met."""
    print(f"Capture cost: portvale --capture FILE --capture-max {CAPTURE_MAX_MB} vs "
          f"portvale (same runs)")
    ok_all = comparison_table(results["capture"], results["portvale"], ("capture", "plain"),
                              CAPTURE_METRICS)
    kept = median_of(results["capture"], "capture_kept")
    kept_text = f"{kept * 100:.1f} %" if kept is not None else "n/a"
    print(f"{'bytes in the capture file, of forwarded':<40}{kept_text:>10}")
    print("(the capture's writer keeps to 3% of a processor at nice 19, enough for about "
          "4 MiB/s; beyond that it leaves blocks out, with a note in the file, rather than "
          "slow the bridge)")
    print()
    return ok_all


TLS_METRICS = [
    # key, label, format, target text, check(tls, plain, ratio) -> bool, or None
    ("tput_t2s", "throughput TCP->serial (MiB/s)", "{:.1f}", "ratio >= 0.7",
     lambda t, p, r: r >= 0.7),
    ("tput_s2t", "throughput serial->TCP (MiB/s)", "{:.1f}", "ratio >= 0.7",
     lambda t, p, r: r >= 0.7),
    ("tput_both", "throughput both at once, sum (MiB/s)", "{:.1f}", "ratio >= 0.7",
     lambda t, p, r: r >= 0.7),
    ("lat_median", "latency 1-byte round trip median (us)", "{:.1f}", "-", None),
    ("cpu_per_mib", "CPU per MiB, one-way runs (ms)", "{:.2f}", "-", None),
    ("rss_peak", "peak RSS after throughput (MiB)", "{:.1f}", "-", None),
]


def report_tls(results):
    """TLS's cost: the bridge behind a TLS relay against the same behind a plain one."""
    print("TLS cost: portvale --tls-cert/--tls-key behind socat OPENSSL vs portvale behind "
          "socat TCP (same runs; the relay's own work is in both)")
    ok_all = comparison_table(results["tls"], results["relay"], ("tls", "plain"), TLS_METRICS)
    print()
    return ok_all


WINDOW_METRICS = [
    # key, label, format, target text, check(window, headless, ratio, format) -> bool, or None
    ("tput_t2s", "throughput TCP->serial (MiB/s)", "{:.1f}", "ratio >= 0.5",
     lambda w, h, r, f: r >= 0.5),
    ("tput_s2t", "throughput serial->TCP (MiB/s)", "{:.1f}", "ratio >= 0.5",
     lambda w, h, r, f: r >= 0.5),
    ("tput_both", "throughput both at once, sum (MiB/s)", "{:.1f}", "ratio >= 0.5",
     lambda w, h, r, f: r >= 0.5),
    ("cpu_per_mib", "CPU per MiB, one-way runs (ms)", "{:.2f}", "Hex: ratio <= 3",
     lambda w, h, r, f: f != "hex" or r <= 3.0),
    ("rss_peak", "peak RSS after 64 MiB (MiB)", "{:.1f}", "Hex: <= 80",
     lambda w, h, r, f: f != "hex" or w <= 80.0),
    ("lat_median", "latency 1-byte round trip median (us)", "{:.1f}", "-", None),
]


def report_window(results):
    """The window against plain portvale --headless, per Incoming Format. True when met."""
    ok_all = True
    for fmt_name in WINDOW_FORMATS:
        kind = f"window-{fmt_name}"
        if not results.get(kind):
            continue
        print(f"Window, Incoming Format {fmt_name}: window_bridge (offscreen) vs "
              f"portvale --headless (same runs)")
        metrics = [(key, label, fmt, target,
                    None if check is None else (lambda w, h, r, c=check: c(w, h, r, fmt_name)))
                   for key, label, fmt, target, check in WINDOW_METRICS]
        ok_all &= comparison_table(results[kind], results["portvale"], ("window", "headless"),
                                   metrics, target_width=16)
        print()
    return ok_all


def report(args, results, failures):
    print()
    print("Bridge benchmark: portvale --headless vs socat (pty pair + loopback TCP)")
    print(f"date:     {datetime.datetime.now().astimezone().isoformat(timespec='seconds')}")
    u = os.uname()
    print(f"system:   {u.sysname} {u.release} {u.machine}")
    print(f"cpu:      {cpu_model()} ({os.cpu_count()} CPUs online)")
    built = datetime.datetime.fromtimestamp(os.stat(args.portvale).st_mtime)
    print(f"portvale: {args.portvale} --headless --mode server "
          f"(binary of {built.isoformat(sep=' ', timespec='seconds')})")
    try:
        ver = subprocess.run(["socat", "-V"], capture_output=True, text=True).stdout
        ver = next((l for l in ver.splitlines() if l.startswith("socat version")), "?")
    except OSError:
        ver = "?"
    print(f"socat:    {ver}; bridge: socat -b 65536 TCP-LISTEN:P,bind=127.0.0.1,reuseaddr "
          f"OPEN:DIR/dev,rawer")
    print(f"runs:     {args.size} MiB per direction, {args.reps} repetition(s) interleaved, "
          f"{args.latency} latency samples, {args.idle:g} s idle; medians over repetitions")
    print()
    header = (f"{'metric':<40}{'portvale':>10}{'socat':>11}{'ratio':>8}  "
              f"{'target':<14}{'result'}")
    print(header)
    print("-" * len(header))
    all_ok = True
    fallback_used = any(r.get("both_fallback") for r in results["socat"])
    for key, label, fmt, target, check in METRICS:
        pv = median_of(results["portvale"], key)
        so = median_of(results["socat"], key)
        mark = "*" if fallback_used and key in FALLBACK_KEYS else ""
        cell = lambda v: (fmt.format(v) if v is not None else "n/a")
        ratio = pv / so if (pv is not None and so) else None
        rtxt = f"{ratio:.2f}" if ratio is not None else ("-" if so == 0 else "n/a")
        verdict = ""
        if check is not None:
            if pv is None or (ratio is None and target.startswith("ratio")):
                verdict = "no data"
                all_ok = False
            else:
                ok = check(pv, so, ratio if ratio is not None else 0.0)
                verdict = ("ok" if ok else "MISSED") + mark
                all_ok &= ok
        print(f"{label:<40}{cell(pv):>10}{cell(so) + mark:>11}{rtxt:>8}  "
              f"{target:<14}{verdict}")
    print()
    if fallback_used:
        print(f"* socat -b 65536 deadlocked in the both-at-once run (it and the pty pair's "
              f"socat relay both blocked in write()); the socat figures marked * come from "
              f"a fresh socat -b {SOCAT_FALLBACK_BLOCK}, which does not deadlock there but "
              f"is slower one-way.")
    notes = sorted({r["both_note"] for r in results["socat"] if "both_note" in r
                    and not r.get("both_fallback")})
    for n in notes:
        print(f"note: socat both-at-once: {n}")
    if args.reps > 1:
        print("per repetition (" + " / ".join(results) + "):")
        for key, label, fmt, _, _ in METRICS[:6]:
            pairs = []
            for i in range(args.reps):
                row = []
                for kind in results:
                    rs = results[kind]
                    v = rs[i].get(key) if i < len(rs) else None
                    row.append(fmt.format(v) if v is not None else "n/a")
                pairs.append("/".join(row))
            print(f"  {label:<40}{'   '.join(pairs)}")
        print()
    if results.get("capture"):
        all_ok &= report_capture(results)
    if results.get("tls"):
        all_ok &= report_tls(results)
    if any(results.get(k) for k in WINDOW_KINDS):
        all_ok &= report_window(results)
    notes = sorted({r["exit_note"] for kind in PORTVALE_KINDS + WINDOW_KINDS
                    for r in results.get(kind, [])
                    if "exit_note" in r})
    for n in notes:
        print(f"note: portvale {n}")
    if failures:
        print("FAILURES:")
        for f in failures:
            print("  " + f.replace("\n", "\n  "))
    print("targets: " + ("all met" if all_ok and not failures else "NOT all met"))


# ----------------------------------------------------------------------------

def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--portvale", default=os.path.join(root, "build", "gui", "portvale"),
                    help="portvale binary (default: build/gui/portvale of this tree)")
    ap.add_argument("--size", type=int, default=16, help="MiB per direction (default 16)")
    ap.add_argument("--reps", type=int, default=3, help="repetitions (default 3)")
    ap.add_argument("--latency", type=int, default=1000,
                    help="latency samples per run (default 1000)")
    ap.add_argument("--idle", type=float, default=5.0, help="idle window in s (default 5)")
    ap.add_argument("--quick", action="store_true",
                    help="fast sanity run: 4 MiB, 1 repetition, 200 latency samples")
    ap.add_argument("--no-capture", action="store_true",
                    help="leave out the run of portvale with a capture file")
    ap.add_argument("--tls", action="store_true",
                    help="add portvale behind a plain and behind a TLS socat relay")
    ap.add_argument("--window", action="store_true",
                    help="add the window, once per Incoming Format (build/bench/window_bridge)")
    ap.add_argument("--window-bridge", default=os.path.join(root, "build", "bench", "window_bridge"),
                    help="the window bridge binary (default: build/bench/window_bridge)")
    args = ap.parse_args()
    sys.stdout.reconfigure(line_buffering=True)
    if args.quick:
        args.size, args.reps, args.latency = 4, 1, 200
    args.warmup = max(20, args.latency // 10)
    args.portvale = os.path.abspath(args.portvale)
    if not os.access(args.portvale, os.X_OK):
        sys.exit(f"portvale not found or not executable: {args.portvale}")
    if shutil.which("socat") is None:
        sys.exit("socat not found")

    def on_term(signum, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, on_term)
    signal.signal(signal.SIGINT, on_term)  # also when started with SIGINT ignored
    signal.signal(signal.SIGHUP, on_term)

    workdir = tempfile.mkdtemp(prefix="bridge-bench-")
    kinds = tuple(k for k in KINDS if not (args.no_capture and k == "capture"))
    if args.tls:
        global CERTS
        CERTS = tempfile.mkdtemp(prefix="certs-", dir=workdir)
        subprocess.run(["bash", os.path.join(root, "tests", "headless", "make-test-certificates.sh"), CERTS],
                       check=True)
        kinds += RELAY_KINDS
    if args.window:
        args.window_bridge = os.path.abspath(args.window_bridge)
        if not os.access(args.window_bridge, os.X_OK):
            sys.exit(f"window_bridge not found or not executable: {args.window_bridge}")
        kinds += WINDOW_KINDS
    results = {k: [] for k in kinds}
    failures = []
    data_failure = False
    try:
        size = args.size * MIB
        payloads = tuple(os.urandom(size) for _ in range(4))
        for rep in range(args.reps):
            for kind in kinds:
                print(f"[{rep + 1}/{args.reps}] {kind} ...", end="", file=sys.stderr,
                      flush=True)
                t0 = time.monotonic()
                try:
                    r = measure(kind, args, workdir, payloads)
                except BridgeFailure as e:
                    r = {}
                    failures.append(f"[{rep + 1}] {e}")
                    data_failure = True
                    print(" FAILED", file=sys.stderr)
                    loud(str(e))
                else:
                    both = r.get("tput_both")
                    both = "n/a" if both is None else f"{both:.1f}"
                    if r.get("both_fallback"):
                        both += f" (-b {SOCAT_FALLBACK_BLOCK})"
                    print(f" {time.monotonic() - t0:.1f} s  "
                          f"t2s {r['tput_t2s']:.1f}  s2t {r['tput_s2t']:.1f}  "
                          f"both {both} MiB/s  "
                          f"lat {r['lat_median']:.0f} us  idle {r['idle_cpu']:.3f} ms/s",
                          file=sys.stderr, flush=True)
                results[kind].append(r)
        report(args, results, failures)
    except KeyboardInterrupt:
        print("\ninterrupted; cleaning up", file=sys.stderr)
        return 130
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    return 1 if data_failure else 0


if __name__ == "__main__":
    sys.exit(main())

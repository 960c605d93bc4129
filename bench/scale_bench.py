#!/usr/bin/env python3
"""Scale benchmark: one `portvale --headless --config FILE` serving many bridges.

For each bridge a `socat -d -d pty,raw,echo=0,link=DIR/devN pty,raw,echo=0,link=DIR/peerN`
plays the wire: the bridge opens DIR/devN, this script is the device on DIR/peerN
and the bridge's TCP client on 127.0.0.1. One generated file describes every bridge
(listen = "127.0.0.1:PORT", baud 115200), and one process runs them all.

Measured, per run:
  start-up     from starting the process until every bridge has printed its
               "Listening on" line and a TCP connect to each port has succeeded
               (those connections stay open as the bridges' clients)
  idle CPU     utime + stime (/proc/PID/stat) over --idle seconds with every client
               connected and quiet, in ms per second; one clock tick is 10 ms, so
               over 10 s the figure moves in steps of 1 ms/s: the threads' run time
               (schedstat, in ns) is printed beside it
  memory       VmHWM of /proc/PID/status after start-up and idle, and again after
               the transfer, queues included (the target's figure: the peak with
               every client connected and every bridge busy)
  threads      Threads of /proc/PID/status while idle
  throughput   --bytes random bytes each way on every bridge at once (client ->
               far end of the pty pair, and far end -> client), every byte checked
               in order; the sum over all bridges and both ways divided by the time
               until the last byte arrived. The script and the socat relays share
               the machine with the bridge: a lower bound of what it can do.
Targets: start-up < 0.5 s, idle CPU < 1 ms/s, peak memory <= 10 MiB (twice the 5.0
MiB a comparable single-thread service is known to take for 64 ports).

Run (after scripts/build.sh):
    bench/scale_bench.py                        # 64 bridges, 1 MiB each way
    bench/scale_bench.py --bridges 8 --repeat 3
Options: --portvale PATH (default build/gui/portvale), --bridges N, --bytes N
(K and M suffixes taken), --repeat N (medians over N runs, each with a fresh process
and fresh pty pairs), --idle SECONDS.
Exit code 1 when a byte was lost, added or changed, or a bridge failed to start or
hung. Python 3 standard library only; needs socat.
"""

import argparse
import datetime
import os
import re
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bridge_bench import (CLK_TCK, MIB, cpu_model, cpu_ticks, make_raw, runtime_ns,  # noqa: E402
                          status_field_kib, wait_for, where_waiting)

START_SECONDS = 30.0
STALL_SECONDS = 15.0
LISTENING = re.compile(r"\[([^\]]+)\] Listening on ")


class BenchFailure(Exception):
    """The program under test misbehaved: it did not start, hung, or changed bytes."""


# ----------------------------------------------------------------------------
# the pty pairs, the file and the program

def free_ports(count):
    """`count` distinct TCP ports free on 127.0.0.1 (all held at once while chosen)."""
    held = []
    try:
        for _ in range(count):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.bind(("127.0.0.1", 0))
            held.append(s)
        return [s.getsockname()[1] for s in held]
    finally:
        for s in held:
            s.close()


def config_text(bridges):
    """The service file for [(name, device, port)]."""
    lines = ["# Written by bench/scale_bench.py.", "[defaults]", "baud = 115200", ""]
    for name, device, port in bridges:
        lines += ["[[bridge]]", f'name = "{name}"', f'serial = "{device}"',
                  f'listen = "127.0.0.1:{port}"', ""]
    return "\n".join(lines)


class Bridge:
    """One pty pair and what the script holds of it: the far end and the client."""

    def __init__(self, index, workdir):
        self.name = f"b{index:03d}"
        self.dev = os.path.join(workdir, f"dev{index:03d}")
        self.peer = os.path.join(workdir, f"peer{index:03d}")
        self.pair = None
        self.peer_fd = None
        self.sock = None
        self.port = None


class Run:
    """Pty pairs, the generated file and one portvale process, in a scratch folder."""

    def __init__(self, portvale, count):
        self.portvale = portvale
        self.dir = tempfile.mkdtemp(prefix="scale-bench-")
        self.bridges = [Bridge(i, self.dir) for i in range(count)]
        self.config = os.path.join(self.dir, "portvale.toml")
        self.proc = None
        self.lines = []  # (monotonic time, line) of the program's standard error
        self.lines_lock = threading.Lock()
        self._files = []

    def _spawn(self, cmd, err):
        # Own process group: a terminal's Ctrl+C reaches only this script, which then
        # stops the children itself.
        return subprocess.Popen(cmd, cwd=self.dir, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=err, process_group=0)

    def make_pairs(self):
        for b in self.bridges:
            err = open(os.path.join(self.dir, f"pair-{b.name}.stderr"), "wb")
            self._files.append(err)
            b.pair = self._spawn(["socat", "-d", "-d", f"pty,raw,echo=0,link={b.dev}",
                                  f"pty,raw,echo=0,link={b.peer}"], err)
        if not wait_for(lambda: all(os.path.exists(b.dev) and os.path.exists(b.peer)
                                    for b in self.bridges), 20):
            raise BenchFailure("the socat pty pairs did not come up within 20 s")
        for b in self.bridges:
            b.peer_fd = os.open(b.peer, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
            make_raw(b.peer_fd)

    def write_config(self):
        for b, port in zip(self.bridges, free_ports(len(self.bridges))):
            b.port = port
        with open(self.config, "w") as f:
            f.write(config_text([(b.name, b.dev, b.port) for b in self.bridges]))

    def log(self):
        with self.lines_lock:
            return "\n".join(line for _, line in self.lines)

    def _read_stderr(self, pipe):
        for raw in pipe:
            line = raw.decode(errors="replace").rstrip("\n")
            with self.lines_lock:
                self.lines.append((time.monotonic(), line))

    def start(self):
        """Starts the program; returns the seconds until every bridge listened and
        took a connection, which stays open as its client."""
        t0 = time.monotonic()
        self.proc = subprocess.Popen([self.portvale, "--headless", "--config", self.config],
                                     cwd=self.dir, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                     process_group=0)
        threading.Thread(target=self._read_stderr, args=(self.proc.stderr,), daemon=True).start()
        by_name = {b.name: b for b in self.bridges}
        listening = set()
        seen = 0
        deadline = t0 + START_SECONDS
        while True:
            with self.lines_lock:
                fresh = self.lines[seen:]
            seen += len(fresh)
            for _, line in fresh:
                m = LISTENING.search(line)
                if m and m.group(1) in by_name:
                    listening.add(m.group(1))
            for name in listening:
                b = by_name[name]
                if b.sock is None:
                    try:
                        b.sock = socket.create_connection(("127.0.0.1", b.port), timeout=1)
                    except ConnectionRefusedError:
                        continue
            if len(listening) == len(self.bridges) and all(b.sock for b in self.bridges):
                elapsed = time.monotonic() - t0
                break
            if self.proc.poll() is not None:
                raise BenchFailure(f"portvale exited with {self.proc.returncode} while "
                                   f"starting:\n{self.log()}")
            if time.monotonic() > deadline:
                raise BenchFailure(f"after {START_SECONDS:.0f} s, {len(listening)} of "
                                   f"{len(self.bridges)} bridges listening:\n{self.log()}")
            time.sleep(0.001)
        for b in self.bridges:
            b.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            b.sock.setblocking(False)
        return elapsed

    def check_alive(self):
        if self.proc.poll() is not None:
            raise BenchFailure(f"portvale exited with {self.proc.returncode}:\n{self.log()}")

    def stop(self):
        """Stops everything; returns portvale's exit code (None when it had to be killed)."""
        code = None
        for b in self.bridges:
            if b.sock is not None:
                b.sock.close()
                b.sock = None
        if self.proc is not None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                code = self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for b in self.bridges:
            if b.pair is not None and b.pair.poll() is None:
                b.pair.send_signal(signal.SIGTERM)
        for b in self.bridges:
            if b.pair is not None:
                try:
                    b.pair.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    b.pair.kill()
                    b.pair.wait()
            if b.peer_fd is not None:
                os.close(b.peer_fd)
                b.peer_fd = None
        for f in self._files:
            f.close()
        shutil.rmtree(self.dir, ignore_errors=True)
        return code


# ----------------------------------------------------------------------------
# traffic

class Stream:
    """One direction of one bridge: `payload` written at one end, checked at the other
    as it arrives, so a wrong byte is found at its offset without a copy kept."""

    def __init__(self, label, payload):
        self.label = label
        self.payload = payload
        self.sent = 0
        self.got = 0

    def arrived(self, chunk):
        expected = self.payload[self.got:self.got + len(chunk)]
        if len(expected) < len(chunk):
            raise BenchFailure(f"BYTE MISMATCH {self.label}: {len(chunk) - len(expected)} "
                               f"byte(s) more than the {len(self.payload)} sent")
        if chunk != expected:
            at = next(i for i in range(len(chunk)) if chunk[i] != expected[i])
            raise BenchFailure(f"BYTE MISMATCH {self.label}: offset {self.got + at}: sent "
                               f"{bytes(expected[at:at + 16]).hex(' ')}, received "
                               f"{chunk[at:at + 16].hex(' ')}")
        self.got += len(chunk)

    @property
    def done(self):
        return self.got == len(self.payload)


def probe(run):
    """One byte each way on every bridge: every client is served and every device
    reaches its client before anything is measured."""
    for b in run.bridges:
        b.sock.send(b"\x5a")
        os.write(b.peer_fd, b"\xa5")
    # (bridge, end) -> the byte expected there
    pending = {(b, "client"): b"\xa5" for b in run.bridges}
    pending.update({(b, "device"): b"\x5a" for b in run.bridges})

    def arrived():
        for (b, end), byte in list(pending.items()):
            try:
                data = b.sock.recv(16) if end == "client" else os.read(b.peer_fd, 16)
            except (BlockingIOError, InterruptedError):
                continue
            if data != byte:
                raise BenchFailure(f"{b.name}: the {end} expected {byte.hex()} and read "
                                   f"{data.hex(' ') or 'the end of the stream'}")
            del pending[(b, end)]
        return not pending or run.proc.poll() is not None

    if not wait_for(arrived, 10):
        late = sorted(f"{b.name} {end}" for b, end in pending)
        raise BenchFailure(f"probe bytes not delivered within 10 s: {', '.join(late[:8])}\n"
                           + run.log())
    run.check_alive()


def transfer(run, size):
    """`size` random bytes each way on every bridge at once; returns the seconds until
    the last byte arrived."""
    stride = 4096  # every bridge sends its own slice, so crossed bridges show
    to_serial = memoryview(os.urandom(size + stride * len(run.bridges)))
    to_tcp = memoryview(os.urandom(size + stride * len(run.bridges)))
    # fd -> (stream written there, stream read there, read(n), write(data))
    ends = {}
    for i, b in enumerate(run.bridges):
        t2s = Stream(f"{b.name} TCP->serial", to_serial[i * stride:i * stride + size])
        s2t = Stream(f"{b.name} serial->TCP", to_tcp[i * stride:i * stride + size])
        ends[b.sock.fileno()] = (t2s, s2t, b.sock.recv, b.sock.send)
        ends[b.peer_fd] = (s2t, t2s, lambda n, fd=b.peer_fd: os.read(fd, n),
                           lambda data, fd=b.peer_fd: os.write(fd, data))
    streams = [out for out, _, _, _ in ends.values()]
    poller = select.poll()
    for fd in ends:
        poller.register(fd, select.POLLIN | select.POLLOUT)

    def take(fd):
        _, into, read, _ = ends[fd]
        try:
            chunk = read(65536)
        except (BlockingIOError, InterruptedError):
            return
        except OSError as e:
            raise BenchFailure(f"{into.label}: reading: {e}")
        if not chunk:
            raise BenchFailure(f"{into.label}: the bridge closed the connection\n" + run.log())
        into.arrived(chunk)
        return True

    pending = len(streams)
    start = last_progress = time.monotonic()
    while pending:
        for fd, ev in poller.poll(1000):
            out, into, _, write = ends[fd]
            if ev & (select.POLLIN | select.POLLHUP | select.POLLERR):
                was_done = into.done
                if take(fd):
                    last_progress = time.monotonic()
                    if into.done and not was_done:
                        pending -= 1
            if ev & select.POLLOUT and out.sent < len(out.payload):
                try:
                    out.sent += write(out.payload[out.sent:out.sent + 65536])
                    last_progress = time.monotonic()
                except (BlockingIOError, InterruptedError):
                    pass
                except OSError as e:
                    raise BenchFailure(f"{out.label}: writing: {e}")
                if out.sent == len(out.payload):
                    poller.modify(fd, select.POLLIN)
        if time.monotonic() - last_progress > STALL_SECONDS:
            run.check_alive()
            late = [f"    {s.label}: written {s.sent}, received {s.got} of {size}"
                    for s in streams if not s.done]
            raise BenchFailure("\n".join(
                [f"no progress for {STALL_SECONDS:.0f} s ({len(late)} streams unfinished)"]
                + late[:8] + [f"    portvale is waiting in: {where_waiting(run.proc.pid)}"]))
    elapsed = time.monotonic() - start
    # Bytes arriving shortly after the last expected one are more than was sent:
    # arrived() raises on them.
    deadline = time.monotonic() + 0.1
    while time.monotonic() < deadline:
        for fd, _ in poller.poll(20):
            take(fd)
    return elapsed


# ----------------------------------------------------------------------------
# one run and the report

def measure(args):
    run = Run(args.portvale, args.bridges)
    result = {}
    try:
        run.make_pairs()
        run.write_config()
        result["startup"] = run.start()
        pid = run.proc.pid
        probe(run)

        t0, n0, w0 = cpu_ticks(pid), runtime_ns(pid), time.monotonic()
        try:
            run.proc.wait(timeout=args.idle)
        except subprocess.TimeoutExpired:
            pass
        run.check_alive()
        t1, n1, w1 = cpu_ticks(pid), runtime_ns(pid), time.monotonic()
        result["idle_cpu"] = (t1 - t0) * 1000.0 / CLK_TCK / (w1 - w0)
        if n0 is not None and n1 is not None:
            result["idle_runtime"] = (n1 - n0) / 1e6 / (w1 - w0)
        result["threads"] = status_field_kib(pid, "Threads")
        result["hwm_idle"] = status_field_kib(pid, "VmHWM") / 1024.0

        seconds = transfer(run, args.bytes)
        result["throughput"] = 2 * args.bridges * args.bytes / MIB / seconds
        run.check_alive()
        result["hwm_end"] = status_field_kib(pid, "VmHWM") / 1024.0
    finally:
        code = run.stop()
    if code != 0:
        result["exit_note"] = f"exit code {code} after SIGTERM (expected 0)"
    return result


ROWS = [
    # key, label, format, target text, check or None
    ("startup", "start-up: all listening, each port connected (s)", "{:.3f}", "< 0.5",
     lambda v: v < 0.5),
    ("idle_cpu", "idle CPU, utime+stime (ms/s)", "{:.2f}", "< 1", lambda v: v < 1.0),
    ("idle_runtime", "idle CPU, threads' run time (ms/s)", "{:.3f}", "-", None),
    ("hwm_idle", "peak memory after start-up and idle, VmHWM (MiB)", "{:.1f}", "-", None),
    ("hwm_end", "peak memory through the transfer, VmHWM (MiB)", "{:.1f}",
     "<= 10 (2 x 5.0)", lambda v: v <= 10.0),
    ("threads", "threads", "{:.0f}", "-", None),
    ("throughput", "throughput, all bridges both ways at once (MiB/s)", "{:.1f}", "-", None),
]


def report(args, results, failures):
    print(f"## Scale benchmark: {args.bridges} bridges in one portvale process")
    print()
    print(f"- date: {datetime.datetime.now().astimezone().strftime('%Y-%m-%d %H:%M:%S %z')}")
    u = os.uname()
    print(f"- system: {u.sysname} {u.release} {u.machine}; cpu: {cpu_model()} "
          f"({os.cpu_count()} online)")
    built = datetime.datetime.fromtimestamp(os.stat(args.portvale).st_mtime)
    print(f"- program: `{args.portvale} --headless --config FILE` "
          f"(binary of {built.strftime('%Y-%m-%d %H:%M:%S')})")
    print(f"- {args.bridges} socat pty pairs, listen on 127.0.0.1, baud 115200; "
          f"{args.bytes} bytes each way per bridge; {args.idle:g} s idle; "
          f"median of {len(results)} of {args.repeat} run(s)")
    print()
    print("| metric | portvale | target | result |")
    print("|---|---:|---|---|")
    all_ok = True
    for key, label, fmt, target, check in ROWS:
        values = [r[key] for r in results if key in r]
        value = statistics.median(values) if values else None
        verdict = ""
        if check is not None:
            ok = value is not None and check(value)
            verdict = "ok" if ok else ("no data" if value is None else "MISSED")
            all_ok &= ok
        cell = fmt.format(value) if value is not None else "n/a"
        print(f"| {label} | {cell} | {target} | {verdict} |")
    print()
    for note in sorted({r["exit_note"] for r in results if "exit_note" in r}):
        print(f"note: portvale {note}")
    for f in failures:
        print("FAILURE: " + f.replace("\n", "\n    "))
    print("targets: " + ("all met" if all_ok and not failures else "NOT all met"))


def size_argument(text):
    units = {"k": 1024, "m": MIB}
    text = text.strip().lower().removesuffix("ib").removesuffix("b")
    factor = units.get(text[-1:], 1)
    value = int(text[:-1] if factor != 1 else text) * factor
    if value <= 0:
        raise argparse.ArgumentTypeError("must be at least 1 byte")
    return value


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--portvale", default=os.path.join(root, "build", "gui", "portvale"),
                    help="portvale binary (default: build/gui/portvale of this tree)")
    ap.add_argument("--bridges", type=int, default=64, help="bridges (default 64)")
    ap.add_argument("--bytes", type=size_argument, default=MIB,
                    help="bytes each way per bridge, K and M suffixes taken (default 1M)")
    ap.add_argument("--repeat", type=int, default=1, help="runs; medians are printed (default 1)")
    ap.add_argument("--idle", type=float, default=10.0, help="idle window in s (default 10)")
    args = ap.parse_args()
    if args.bridges < 1 or args.repeat < 1 or args.idle <= 0:
        ap.error("--bridges and --repeat must be at least 1, --idle above 0")
    sys.stdout.reconfigure(line_buffering=True)
    args.portvale = os.path.abspath(args.portvale)
    if not os.access(args.portvale, os.X_OK):
        sys.exit(f"portvale not found or not executable: {args.portvale}")
    if shutil.which("socat") is None:
        sys.exit("socat not found")

    def on_term(signum, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, on_term)
    signal.signal(signal.SIGINT, on_term)

    results, failures = [], []
    try:
        for i in range(args.repeat):
            print(f"[{i + 1}/{args.repeat}] {args.bridges} bridges ...", end="",
                  file=sys.stderr, flush=True)
            try:
                r = measure(args)
            except BenchFailure as e:
                failures.append(f"[{i + 1}] {e}")
                print(" FAILED", file=sys.stderr)
                continue
            print(f" start-up {r['startup']:.3f} s, idle {r['idle_cpu']:.2f} ms/s, "
                  f"{r['throughput']:.1f} MiB/s", file=sys.stderr)
            results.append(r)
    except KeyboardInterrupt:
        print("\ninterrupted", file=sys.stderr)
        return 130
    report(args, results, failures)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

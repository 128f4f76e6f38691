"""Shared pieces of the benchmark drivers (bench/*/run.py; stdlib only).

The drivers run ZEL's programs through the end-to-end test harness
(tests/e2e/zelharness.py, imported here as zelharness) and load them from
client threads of their own process. This module holds what every driver
needs: the common options, message texts, the load generator threads that
start together (SmtpClient for SMTP; a subclass of ClientThread for other
protocols), the wait for a count to reach its goal, and the sample of a
server process's peak memory and processor time (read before the process
is stopped). Only 127.0.0.0/8 is ever contacted; every wait is bounded.
"""

import os
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))

import zelharness  # noqa: E402  (after the path set-up above)

REPLY_SECONDS = 120     # one reply may take this long before a client gives up
STALL_SECONDS = 120     # a count that has not moved for this long gives up its wait


def parse_args(parser):
    """Adds --build to parser, parses the command line and points the
    harness at that build directory."""
    parser.add_argument("--build", help="build directory (default $ZEL_BUILD_DIR or build/)")
    args = parser.parse_args()
    if args.build:
        zelharness.BIN_DIR = os.path.join(args.build, "bin")
    return args


def make_message(head, size):
    """head, lines of 76 "x" up to about size bytes, and the end line."""
    line = b"x" * 76 + b"\r\n"
    return head + line * max(0, (size - len(head)) // len(line)) + b".\r\n"


def expect(reply, code):
    if not reply.startswith(code):
        raise AssertionError("reply %r, expected %s" % (reply, code))


class Counter:
    """Hands out the numbers 0 to limit - 1, each once, to any thread."""

    def __init__(self, limit):
        self.next, self.limit, self.lock = 0, limit, threading.Lock()

    def take(self):
        with self.lock:
            if self.next >= self.limit:
                return None
            self.next += 1
            return self.next - 1

    def numbers(self):
        """The numbers this thread takes, until none are left."""
        while (number := self.take()) is not None:
            yield number


class ClientThread(threading.Thread):
    """A load generator: waits until start_together() releases every client,
    then runs work(). An exception ends it and is kept in error, for the
    driver to count and show."""

    def __init__(self):
        super().__init__(daemon=True)
        self.barrier = None
        self.error = None

    def run(self):
        try:
            self.barrier.wait(timeout=REPLY_SECONDS)
            self.work()
        except Exception as e:  # counted and shown by the driver
            self.error = repr(e)

    def work(self):
        raise NotImplementedError


class SmtpClient(ClientThread):
    """One SMTP connection that sends each (recipients, data) of jobs (data
    with its end line), awaiting every reply; accepted holds the monotonic
    times of the "250" replies to the data."""

    def __init__(self, port, jobs, helo="bench.example", sender="bench@bench.example"):
        super().__init__()
        self.port, self.jobs, self.helo, self.sender = port, jobs, helo, sender
        self.accepted = []

    def work(self):
        with zelharness.SmtpConnection(self.port, timeout=REPLY_SECONDS) as conn:
            expect(conn.reply(), "220")
            expect(conn.command("HELO " + self.helo), "250")
            for recipients, data in self.jobs:
                expect(conn.command("MAIL FROM:<%s>" % self.sender), "250")
                for recipient in recipients:
                    expect(conn.command("RCPT TO:<%s>" % recipient), "250")
                expect(conn.command("DATA"), "354")
                conn.send(data)
                expect(conn.reply(), "250")
                self.accepted.append(time.monotonic())
            conn.command("QUIT")


def start_together(clients):
    """Starts the client threads and releases them at once; the monotonic
    time of the release."""
    barrier = threading.Barrier(len(clients) + 1)
    for c in clients:
        c.barrier = barrier
        c.start()
    barrier.wait(timeout=REPLY_SECONDS)
    return time.monotonic()


def join(clients, seconds):
    """Waits for each client at most seconds; the errors of those that failed."""
    for c in clients:
        c.join(seconds)
    return [c.error for c in clients if c.error]


def accepted_times(clients):
    return sorted(t for c in clients for t in c.accepted)


def wait_count(count, wanted, clients, poll_seconds):
    """Polls count() until it reaches wanted or, once no client is sending
    any more, what the clients had accepted, or until it has not moved for
    STALL_SECONDS. The last count and the time it last changed."""
    seen, last_change = 0, time.monotonic()
    while True:
        value = count()
        now = time.monotonic()
        if value != seen:
            seen, last_change = value, now
        if value >= wanted:
            return value, last_change
        if not any(c.is_alive() for c in clients) and (
                value >= len(accepted_times(clients)) or now - last_change > STALL_SECONDS):
            return value, last_change
        time.sleep(poll_seconds)


def wait_for_greeting(port, proc=None, host="127.0.0.1", greeting=b"220"):
    """Probes host:port until it greets with a line that starts with
    greeting (the caller's protocol then gets a QUIT), or until proc (a peer
    being started) has ended or the bounded wait is over; True when it
    greeted."""
    deadline = time.monotonic() + zelharness.WAIT_SECONDS
    while time.monotonic() < deadline and (proc is None or proc.poll() is None):
        try:
            with socket.create_connection((host, port), timeout=2) as s:
                if s.recv(512).startswith(greeting):
                    s.sendall(b"QUIT\r\n")
                    return True
        except OSError:
            pass
        time.sleep(0.1)
    return False


def end_process(proc):
    """SIGTERM to a peer process, a bounded wait, then SIGKILL."""
    if proc.poll() is None:
        proc.terminate()
    if zelharness.wait_exit(proc) is None:
        zelharness.stop_child(proc)


def rate(count, seconds):
    return count / seconds if seconds > 0 else 0.0


class Usage:
    """What a server process used: peak memory (VmHWM, kB) and processor
    time (user and system, seconds; with since, only what came after that
    earlier Usage), each None when it could not be read."""

    def __init__(self, pid, since=None):
        self.peak_kb = zelharness.proc_status(pid, "VmHWM") if pid else None
        self.cpu_seconds = cpu_seconds(pid) if pid else None
        if since is not None:
            self.cpu_seconds = (self.cpu_seconds - since.cpu_seconds
                                if None not in (self.cpu_seconds, since.cpu_seconds) else None)

    def text(self, messages):
        """"peak memory N kB, CPU M ms/msg" ("?" for what is unknown)."""
        cpu = ("%.3f" % (1000.0 * self.cpu_seconds / messages)
               if self.cpu_seconds is not None and messages else "?")
        return "peak memory %s kB, CPU %s ms/msg" % (
            self.peak_kb if self.peak_kb is not None else "?", cpu)


def usage(service, since=None):
    """The Usage of a running zelharness.Service (or a Popen); since: the
    Usage taken before the load, so that start-up does not count."""
    proc = getattr(service, "proc", service)
    return Usage(proc.pid if proc is not None else None, since)


def cpu_seconds(pid):
    """User and system processor time of pid from /proc/PID/stat, or None."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rpartition(")")[2].split()
        # After the command name: state is field 3, utime 14, stime 15.
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (FileNotFoundError, ProcessLookupError, ValueError, IndexError):
        return None

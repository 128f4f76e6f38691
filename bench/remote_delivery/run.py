#!/usr/bin/python3
"""Remote delivery benchmark: N messages to D remote domains, spool to sink.

Starts dnsmasq (the name server: D domains d0.bench.test, d1.bench.test, ...
whose MX records all name sink.bench.test at 127.0.0.2), a fast SMTP sink
(sink.py, a separate process) on 127.0.0.2, and zelrecv and zeldeliv with
"-run" under a scratch ZEL_ROOT (the end-to-end test harness,
tests/e2e/zelharness.py, and its peers, tests/e2e/remotepeers.py). C client
threads send N messages of about S bytes through zelrecv, message i to R
recipients of domain i mod D. By default the mail is all queued before the
agent starts, so the figure is the agent's alone: from its start until the
sink has taken every message. With --live the agent runs while the mail
arrives and the figure runs from the first acceptance. It prints messages
per second and the agent's peak memory (VmHWM of /proc/PID/status, read
before it is stopped). Only 127.0.0.0/8 is contacted; every wait is bounded.
"""

import argparse
import os
import socket
import subprocess
import sys
import shutil
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))

import remotepeers  # noqa: E402  (after the path set-up above)
import zelharness  # noqa: E402

REPLY_SECONDS = 120     # one reply may take this long before a client gives up
POLL_SECONDS = 0.05     # how often the sink is asked for its count
STALL_SECONDS = 120     # give up when the sink's count did not move for this long
SINK_ADDRESS = "127.0.0.2"
SINK_NAME = "sink.bench.test"


def domain(number):
    return "d%d.bench.test" % number


def make_message(number, size):
    head = (b"From: bench@bench.example\r\nSubject: remote bench %d\r\n"
            b"Message-ID: <rbench.%d@bench.example>\r\n\r\n" % (number, number))
    line = b"x" * 76 + b"\r\n"
    return head + line * max(0, (size - len(head)) // len(line)) + b".\r\n"


class Counter:
    def __init__(self, limit):
        self.next, self.limit, self.lock = 0, limit, threading.Lock()

    def take(self):
        with self.lock:
            if self.next >= self.limit:
                return None
            self.next += 1
            return self.next - 1


class Client(threading.Thread):
    """Sends the messages whose numbers it takes from the shared counter."""

    def __init__(self, port, args, counter, barrier):
        super().__init__(daemon=True)
        self.port, self.args, self.counter, self.barrier = port, args, counter, barrier
        self.accepted = []      # monotonic times of the "250" replies to DATA
        self.error = None

    def run(self):
        try:
            self.barrier.wait(timeout=REPLY_SECONDS)
            with zelharness.SmtpConnection(self.port, timeout=REPLY_SECONDS) as conn:
                self.expect(conn.reply(), "220")
                self.expect(conn.command("HELO bench.example"), "250")
                while True:
                    number = self.counter.take()
                    if number is None:
                        break
                    self.expect(conn.command("MAIL FROM:<bench@bench.example>"), "250")
                    for r in range(self.args.recipients):
                        self.expect(conn.command("RCPT TO:<user%d@%s>"
                                                 % (r, domain(number % self.args.domains))),
                                    "250")
                    self.expect(conn.command("DATA"), "354")
                    conn.send(make_message(number, self.args.size))
                    self.expect(conn.reply(), "250")
                    self.accepted.append(time.monotonic())
                conn.command("QUIT")
        except Exception as e:  # counted and shown by the driver
            self.error = repr(e)

    @staticmethod
    def expect(reply, code):
        if not reply.startswith(code):
            raise AssertionError("reply %r, expected %s" % (reply, code))


class Sink:
    """sink.py in its own process (so it has a processor of its own)."""

    def __init__(self, port):
        self.port = port
        self.proc = subprocess.Popen([sys.executable, os.path.join(HERE, "sink.py"),
                                      SINK_ADDRESS, str(port)],
                                     stdout=subprocess.PIPE, text=True)
        ready = [None]
        reader = threading.Thread(target=lambda: ready.__setitem__(0, self.proc.stdout.readline()),
                                  daemon=True)
        reader.start()
        reader.join(zelharness.WAIT_SECONDS)
        if ready[0] != "READY\n":
            self.stop()
            raise AssertionError("the sink did not start")

    def count(self):
        with socket.create_connection((SINK_ADDRESS, self.port), timeout=REPLY_SECONDS) as s:
            f = s.makefile("rb")
            f.readline()
            s.sendall(b"XCOUNT\r\nQUIT\r\n")
            return int(f.readline().split()[1])

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=zelharness.WAIT_SECONDS)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=zelharness.WAIT_SECONDS)


def send_all(mail, args):
    counter = Counter(args.messages)
    barrier = threading.Barrier(args.clients + 1)
    clients = [Client(mail.port, args, counter, barrier) for _ in range(args.clients)]
    for c in clients:
        c.start()
    barrier.wait(timeout=REPLY_SECONDS)
    return clients


def wait_sink(sink, wanted, clients):
    """Polls the sink until it has wanted messages or nothing moves any
    more; the count and the time the last new message was seen."""
    seen, last_change = 0, time.monotonic()
    while True:
        count = sink.count()
        now = time.monotonic()
        if count != seen:
            seen, last_change = count, now
        if count >= wanted:
            return count, last_change
        sending = any(c.is_alive() for c in clients)
        if not sending and now - last_change > STALL_SECONDS:
            return count, last_change
        time.sleep(POLL_SECONDS)


def run(mail, sink, args):
    """(start time, accepted times, delivered, time of the last delivery,
    client errors)."""
    if args.live:
        mail.agent.start()
    clients = send_all(mail, args)
    if not args.live:
        for c in clients:
            c.join(REPLY_SECONDS + args.messages)   # each reply is bounded anyway
        started = time.monotonic()
        mail.agent.start()
    wanted = sum(len(c.accepted) for c in clients) if not args.live else args.messages
    delivered, last = wait_sink(sink, wanted, clients)
    for c in clients:
        c.join(REPLY_SECONDS)
    accepted = sorted(t for c in clients for t in c.accepted)
    if args.live:
        started = accepted[0] if accepted else time.monotonic()
    return started, accepted, delivered, last, [c.error for c in clients if c.error]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--messages", type=int, default=1000, help="messages in all (N)")
    parser.add_argument("--domains", type=int, default=10, help="remote domains (D)")
    parser.add_argument("--recipients", type=int, default=1, help="recipients per message (R)")
    parser.add_argument("--clients", type=int, default=4, help="concurrent SMTP connections")
    parser.add_argument("--size", type=int, default=4096, help="message size in bytes")
    parser.add_argument("--threads", type=int, default=None,
                        help="MaxDeliveryThreads (default: the agent's own, 50)")
    parser.add_argument("--live", action="store_true",
                        help="run the agent while the mail arrives")
    parser.add_argument("--build", help="build directory (default $ZEL_BUILD_DIR or build/)")
    args = parser.parse_args()
    if args.build:
        zelharness.BIN_DIR = os.path.join(args.build, "bin")
    print("%d messages x %d bytes to %d domains, %d recipient(s) each, %s"
          % (args.messages, args.size, args.domains, args.recipients,
             "agent running while mail arrives" if args.live else "queued before the agent starts"))
    peers = tempfile.mkdtemp(prefix="zel-bench-remote-peers-")
    ns = sink = mail = None
    try:
        ns = remotepeers.NameServer(
            peers, mx=[(domain(d), SINK_NAME, 10) for d in range(args.domains)],
            hosts=[(SINK_NAME, SINK_ADDRESS)]).start()
        port = remotepeers.free_smtp_port([SINK_ADDRESS])
        sink = Sink(port)
        suite = {"MaxDeliveryThreads": args.threads} if args.threads is not None else None
        # A one-second scan interval, so that nothing waits for the default
        # two minutes.
        mail = zelharness.MailSystem(("administrator",), suite=suite,
                                     deliv={"SmtpPort": port, "Timeout": 1},
                                     name_server=ns.address, prefix="zel-bench-remote-")
        mail.start(agent=False)
        started, accepted, delivered, last, errors = run(mail, sink, args)
        deliv_kb = mail.agent.peak_memory_kb()
        queries = len(ns.queries())
    finally:
        for peer in (mail, sink, ns):
            if peer is not None:
                peer.stop()
        shutil.rmtree(peers, ignore_errors=True)
    if not accepted:
        print("nothing was accepted: %s" % (errors[:1] or "?"))
        return 1
    elapsed = last - started
    print("delivered %7d messages in %7.2f s  %9.1f msg/s  (%s)"
          % (delivered, elapsed, delivered / elapsed if elapsed > 0 else 0.0,
             "first acceptance to the last message at the sink" if args.live
             else "agent start to the last message at the sink"))
    print("peak memory: zeldeliv %s kB; DNS questions asked: %d"
          % (deliv_kb if deliv_kb is not None else "?", queries))
    if errors:
        print("%d clients failed: %s" % (len(errors), errors[0]))
    if delivered < len(accepted):
        print("only %d of %d messages arrived" % (delivered, len(accepted)))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

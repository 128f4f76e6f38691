"""The SMTP receiver under load: 200 concurrent connections, 20 messages each;
50 connections each sending a 50 MiB message at once; and 1,000
connections each sending a header of a megabyte, which the receiver must
hold until its end, within its memory budget.

Every connection opens at once (a barrier), sends its messages one after
the other and quits. Every message must be accepted, stored intact (the
data compared byte for byte behind the receiver's added lines) under an
identifier of its own, with its recipient file. While the load runs, a
watcher reads every recipient file as soon as it appears, as the delivery
agent would, and checks that it and its message file are already whole.
The whole run is bounded (STRESS_SECONDS); threads stop on their own.

The big messages go to disk as they arrive: the receiver's resident memory
may grow by a few MiB per connection at most, however large the messages.
"""

import os
import random
import re
import resource
import selectors
import socket
import threading
import time
import unittest

from zelharness import (LOCAL_HOST, MSGID_RE, Receiver, SmtpConnection, list_spool_pairs,
                        proc_status, read_bytes)

CONNECTIONS = 200
MESSAGES = 20
STRESS_SECONDS = 120            # the whole load must finish within this
SOCKET_SECONDS = 60             # one reply may take this long under load
SEED = 20261207                 # the message sizes are random but repeatable

ADDED_RE = re.compile(rb"Received: from stress(\d+)\.example \(unverified \[127\.0\.0\.1\]\) "
                      rb"by " + re.escape(LOCAL_HOST.encode()) +
                      rb"\r\n \(TALVO ZELRECV 0\.83\) with SMTP id <(B\d{10})@" +
                      re.escape(LOCAL_HOST.encode()) + rb">;\r\n [^\r\n]+\r\n"
                      rb"Date: [^\r\n]+\r\n")


def make_message(client, number, rng):
    """A unique message of 200 bytes to 20 KiB, with transparency dots."""
    lines = [b"Message-ID: <c%dm%d@stress.example>" % (client, number),
             b"Subject: stress %d %d" % (client, number), b""]
    size = rng.randint(200, 20000)
    body = 0
    while body < size:
        line = b"..dot %d %d %d" % (client, number, body) if body % 7 == 0 else \
            (b"%d-%d " % (client, number)) * rng.randint(1, 12)
        lines.append(line)
        body += len(line) + 2
    return b"\r\n".join(lines) + b"\r\n.\r\n"


class Client(threading.Thread):
    """One connection: HELO, then MESSAGES transactions, then QUIT."""

    def __init__(self, receiver, number, messages, barrier, deadline):
        super().__init__(daemon=True)
        self.receiver, self.number, self.messages = receiver, number, messages
        self.barrier, self.deadline = barrier, deadline
        self.error = None
        self.accepted = 0

    def run(self):
        self.stage = "start"
        try:
            self.barrier.wait(timeout=SOCKET_SECONDS)
            self.stage = "connect and greeting"
            with self.receiver.connect(timeout=SOCKET_SECONDS) as conn:
                self.stage = "HELO"
                self.expect(conn.command("HELO stress%d.example" % self.number), "250 OK\r\n")
                self.stage = "messages"
                for data in self.messages:
                    if time.monotonic() > self.deadline:
                        raise AssertionError("out of time")
                    self.transaction(conn, data)
                self.expect(conn.command("QUIT"), "221 %s closing\r\n" % LOCAL_HOST)
        except Exception as e:  # reported by the test in the main thread
            self.error = "client %d after %d messages, in %s: %r" % (
                self.number, self.accepted, self.stage, e)

    def transaction(self, conn, data):
        self.expect(conn.command("MAIL FROM:<s%d@stress.example>" % self.number),
                    "250 s%d@stress.example OK\r\n" % self.number)
        self.expect(conn.command("RCPT TO:<user%d>" % self.number),
                    "250 user%d OK\r\n" % self.number)
        self.expect(conn.command("DATA"), "354 Ready for data\r\n")
        conn.send(data)
        self.expect(conn.reply(), "250 Message received OK\r\n")
        self.accepted += 1

    @staticmethod
    def expect(reply, want):
        if reply != want:
            raise AssertionError("reply %r, expected %r" % (reply, want))


class Watcher(threading.Thread):
    """Reads each recipient file once, as soon as it shows up."""

    def __init__(self, queue, stop):
        super().__init__(daemon=True)
        self.queue, self.stop = queue, stop
        self.seen = set()
        self.problems = []

    def run(self):
        while not self.stop.is_set():
            for name in os.listdir(self.queue):
                if name.endswith(".RCP") and name not in self.seen:
                    self.seen.add(name)
                    self.check(name[:-4])
            time.sleep(0.01)

    def check(self, base):
        rcp = read_bytes(os.path.join(self.queue, base + ".RCP"))
        if not re.fullmatch(rb"Message-ID: <%s@[^>]+>\r\nReturn-path: s\d+@stress\.example\r\n"
                            rb"Recipient: user\d+\r\n" % base.encode(), rcp):
            self.problems.append("%s.RCP not whole when seen: %r" % (base, rcp))
        msg = read_bytes(os.path.join(self.queue, base + ".MSG"))
        if not msg.endswith(b"\r\n.\r\n"):
            self.problems.append("%s.MSG not whole when its .RCP was seen" % base)


class StressTest(unittest.TestCase):
    def setUp(self):
        # All the clients come from 127.0.0.1: no per-client limit.
        self.receiver = Receiver({"MaxConnectionsPerClient": 0},
                                 prefix="zel-e2e-stress-").start()
        self.addCleanup(self.receiver.stop)

    def test_concurrent_connections(self):
        rng = random.Random(SEED)
        sent = {}
        clients = []
        barrier = threading.Barrier(CONNECTIONS)
        deadline = time.monotonic() + STRESS_SECONDS
        for c in range(CONNECTIONS):
            messages = [make_message(c, m, rng) for m in range(MESSAGES)]
            for m, data in enumerate(messages):
                sent[(c, m)] = data
            clients.append(Client(self.receiver, c, messages, barrier, deadline))
        stop = threading.Event()
        watcher = Watcher(self.receiver.queue, stop)
        watcher.start()
        started = time.monotonic()
        for client in clients:
            client.start()
        for client in clients:
            client.join(max(0.1, deadline - time.monotonic()))
        elapsed = time.monotonic() - started
        stop.set()
        watcher.join(10)

        errors = [c.error for c in clients if c.error] + \
            ["client %d still running" % c.number for c in clients if c.is_alive()]
        self.assertEqual(errors[:10], [], "%d clients failed" % len(errors))
        self.assertEqual(watcher.problems[:10], [])
        print("\n%d messages in %.1f s (%.0f/s), peak memory %s kB"
              % (len(sent), elapsed, len(sent) / elapsed, self.receiver.service.peak_memory_kb()))
        self.check_stored(sent)

    def check_stored(self, sent):
        pairs = list_spool_pairs(self.receiver.queue)
        self.assertEqual(len(pairs), len(sent))
        found = {}
        for base, exts in pairs.items():
            self.assertRegex(base, MSGID_RE)
            self.assertEqual(exts, {"MSG", "RCP"}, base)
            stored = read_bytes(os.path.join(self.receiver.queue, base + ".MSG"))
            added = ADDED_RE.match(stored)
            self.assertIsNotNone(added, stored[:300])
            self.assertEqual(added.group(2).decode(), base)
            data = stored[added.end():]
            key = re.match(rb"Message-ID: <c(\d+)m(\d+)@", data)
            self.assertIsNotNone(key, data[:100])
            key = (int(key.group(1)), int(key.group(2)))
            self.assertEqual(int(added.group(1)), key[0])
            self.assertEqual(data, sent[key], "message %s in %s" % (key, base))
            self.assertNotIn(key, found, "stored twice: %s and %s" % (found.get(key), base))
            found[key] = base
            rcp = read_bytes(os.path.join(self.receiver.queue, base + ".RCP"))
            self.assertEqual(rcp, b"Message-ID: <%s@%s>\r\nReturn-path: s%d@stress.example\r\n"
                             b"Recipient: user%d\r\n"
                             % (base.encode(), LOCAL_HOST.encode(), key[0], key[0]))
        self.assertEqual(len(found), len(sent))


BIG_CONNECTIONS = 50
BIG_MESSAGE = 50 << 20          # bytes of each message
GROWTH_PER_CONNECTION = 2 << 10   # kB of resident memory a connection may add


class BoundedMemoryTest(unittest.TestCase):
    def test_big_messages_are_not_held_in_memory(self):
        receiver = Receiver({"MaxMessageSize": 0}, prefix="zel-e2e-stress-").start()
        self.addCleanup(receiver.stop)
        line = b"x" * 1022 + b"\r\n"
        data = b"Subject: big\r\n\r\n" + line * (BIG_MESSAGE // len(line)) + b".\r\n"
        pid = receiver.service.proc.pid
        # One small message first, so the threads and buffers that any
        # message needs are there in the baseline.
        self.assertEqual(receiver.send_message("s@c.example", ["user"],
                                               b"Subject: warm\r\n\r\nx\r\n.\r\n"),
                         "250 Message received OK\r\n")
        baseline = proc_status(pid, "VmRSS")
        replies = [None] * BIG_CONNECTIONS
        barrier = threading.Barrier(BIG_CONNECTIONS)

        def client(n):
            try:
                with SmtpConnection(receiver.port, timeout=STRESS_SECONDS) as conn:
                    conn.reply()
                    for command in ("HELO big%d" % n, "MAIL FROM:<s@c.example>",
                                    "RCPT TO:<user>", "DATA"):
                        conn.command(command)
                    barrier.wait(SOCKET_SECONDS)
                    conn.send(data)
                    replies[n] = conn.reply()
            except (OSError, AssertionError, threading.BrokenBarrierError) as e:
                replies[n] = repr(e)

        threads = [threading.Thread(target=client, args=(n,), daemon=True)
                   for n in range(BIG_CONNECTIONS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(STRESS_SECONDS)
        peak = proc_status(pid, "VmHWM")
        self.assertEqual(replies, ["250 Message received OK\r\n"] * BIG_CONNECTIONS)
        growth = peak - baseline
        print("\n%d x %d MiB: resident memory %d kB, peak %d kB (+%d kB)"
              % (BIG_CONNECTIONS, BIG_MESSAGE >> 20, baseline, peak, growth))
        self.assertLess(growth, BIG_CONNECTIONS * GROWTH_PER_CONNECTION)
        whole = [n for n in os.listdir(receiver.queue) if n.endswith(".MSG") and
                 os.path.getsize(os.path.join(receiver.queue, n)) > len(data)]
        self.assertEqual(len(whole), BIG_CONNECTIONS)


HEADER_CONNECTIONS = 1000
HEADER_LINE = b"X-Pad: " + b"h" * 991 + b"\r\n"   # 1000 bytes
HEADER_LINES = 1040                                # a header just under the 1 MiB it may have
PEAK_LIMIT_KB = 300 << 10                          # the receiver's resident memory at most
NO_MEMORY = "452 4.3.1 Not enough memory for this message now, try again later\r\n"


class HeldHeaderTest(unittest.TestCase):
    """1,000 clients each send a header of a megabyte (which is held until
    its blank line) at once: the receiver stays under 300 MiB, whatever
    does not fit its budget (MaxBufferedBytes, 256 MiB) gets "452 4.3.1",
    the others are queued, and an ordinary client sending meanwhile gets
    its 250."""

    def setUp(self):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        want = min(hard, 4 * HEADER_CONNECTIONS) if hard != resource.RLIM_INFINITY else 4 * HEADER_CONNECTIONS
        if soft < want:
            resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))
            self.addCleanup(resource.setrlimit, resource.RLIMIT_NOFILE, (soft, hard))

    def test_held_headers_stay_within_the_budget(self):
        receiver = Receiver({"MaxConnections": HEADER_CONNECTIONS + 100},
                            prefix="zel-e2e-stress-").start()
        self.addCleanup(receiver.stop)
        header = HEADER_LINE * HEADER_LINES
        tail = b"\r\nbody\r\n.\r\n"
        sel = selectors.DefaultSelector()
        self.addCleanup(sel.close)
        conns = []
        deadline = time.monotonic() + STRESS_SECONDS
        for n in range(HEADER_CONNECTIONS):
            sock = socket.create_connection(("127.0.0.1", receiver.port), timeout=SOCKET_SECONDS)
            self.addCleanup(sock.close)
            sock.sendall(b"HELO held%d\r\nMAIL FROM:<s@c.example>\r\nRCPT TO:<user>\r\nDATA\r\n" % n)
            sock.setblocking(False)
            state = {"sock": sock, "got": b"", "sent": 0, "reply": None}
            conns.append(state)
            sel.register(sock, selectors.EVENT_READ | selectors.EVENT_WRITE, state)
        ordinary = {"reply": None}

        def send_ordinary():
            ordinary["reply"] = receiver.send_message("o@c.example", ["user"],
                                                      b"Subject: small\r\n\r\nx\r\n.\r\n")

        helper = None
        while time.monotonic() < deadline and any(c["reply"] is None for c in conns):
            for key, events in sel.select(timeout=1):
                c = key.data
                if events & selectors.EVENT_READ:
                    try:
                        data = c["sock"].recv(65536)
                    except (BlockingIOError, InterruptedError):
                        data = None
                    if data == b"":
                        c["reply"] = "closed; got %r" % c["got"][-200:]
                        sel.unregister(c["sock"])
                        continue
                    c["got"] += data or b""
                    lines = c["got"].split(b"\r\n")
                    # The 5th reply answers the data (after 220, HELO, MAIL, RCPT, 354).
                    if len(lines) > 6:
                        c["reply"] = (lines[5] + b"\r\n").decode("latin-1")
                        sel.unregister(c["sock"])
                        continue
                if events & selectors.EVENT_WRITE and b"354 " in c["got"]:
                    body = header + tail
                    if c["sent"] < len(body):
                        try:
                            c["sent"] += c["sock"].send(body[c["sent"]:c["sent"] + 65536])
                        except (BlockingIOError, InterruptedError):
                            pass
                    if c["sent"] >= len(body):
                        sel.modify(c["sock"], selectors.EVENT_READ, c)
            # Once every client is half way through its header, an ordinary
            # message goes in beside them.
            if helper is None and all(c["sent"] > len(header) // 2 or c["reply"] for c in conns):
                helper = threading.Thread(target=send_ordinary, daemon=True)
                helper.start()
        if helper is not None:
            helper.join(SOCKET_SECONDS)
        peak = proc_status(receiver.service.proc.pid, "VmHWM")
        replies = [c["reply"] for c in conns]
        accepted = replies.count("250 Message received OK\r\n")
        refused = replies.count(NO_MEMORY)
        print("\n%d held headers: %d accepted, %d refused for memory, peak %d kB"
              % (HEADER_CONNECTIONS, accepted, refused, peak))
        self.assertEqual(accepted + refused, HEADER_CONNECTIONS, set(replies))
        self.assertGreater(refused, 0)
        self.assertEqual(ordinary["reply"], "250 Message received OK\r\n")
        self.assertLess(peak, PEAK_LIMIT_KB)


if __name__ == "__main__":
    unittest.main()

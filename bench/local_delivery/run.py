#!/usr/bin/python3
"""Local delivery benchmark: N messages to M local users, SMTP to mailbox.

Starts zelrecv and zeldeliv with "-run" under a scratch ZEL_ROOT (the
end-to-end test harness, tests/e2e/zelharness.py) with M accounts, lets C
client threads send N messages of about S bytes over loopback, each to one
user (round robin), and polls the M mailbox directories until all N copies
exist. It prints the acceptance rate, the delivery rate (messages per second
from the first acceptance to the last mailbox copy), how long the agent
needed after the last acceptance, and the peak memory (VmHWM) of both
programs, read before they are stopped. Only 127.0.0.1 is contacted; every
wait is bounded.
"""

import argparse
import os
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))

import zelharness  # noqa: E402  (after the path set-up above)

REPLY_SECONDS = 120     # one reply may take this long before a client gives up
POLL_SECONDS = 0.02     # how often the mailboxes are counted
STALL_SECONDS = 120     # give up when no new copy appeared for this long


def make_message(number, size):
    head = (b"From: bench@bench.example\r\nSubject: local bench %d\r\n"
            b"Message-ID: <bench.%d@bench.example>\r\n\r\n" % (number, number))
    line = b"x" * 76 + b"\r\n"
    return head + line * max(0, (size - len(head)) // len(line)) + b".\r\n"


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
                    user = "user%d" % (number % self.args.users)
                    self.expect(conn.command("MAIL FROM:<bench@bench.example>"), "250")
                    self.expect(conn.command("RCPT TO:<%s@%s>" % (user, zelharness.LOCAL_HOST)),
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


class Counter:
    def __init__(self, limit):
        self.next, self.limit, self.lock = 0, limit, threading.Lock()

    def take(self):
        with self.lock:
            if self.next >= self.limit:
                return None
            self.next += 1
            return self.next - 1


def count_copies(mail, users):
    return sum(len(zelharness.files_with(mail.mailbox("user%d" % u), "MSG")) for u in range(users))


def wait_copies(mail, args, clients):
    """Polls the mailboxes until N copies exist or nothing moves any more;
    the count and the time the last new copy was seen."""
    seen, last_change = 0, time.monotonic()
    while True:
        count = count_copies(mail, args.users)
        now = time.monotonic()
        if count != seen:
            seen, last_change = count, now
        if count >= args.messages:
            return count, last_change
        sending = any(c.is_alive() for c in clients)
        if not sending and (now - last_change > STALL_SECONDS or
                            all(c.error for c in clients)):
            return count, last_change
        time.sleep(POLL_SECONDS)


def drive(mail, args):
    counter = Counter(args.messages)
    barrier = threading.Barrier(args.clients + 1)
    clients = [Client(mail.port, args, counter, barrier) for _ in range(args.clients)]
    for c in clients:
        c.start()
    barrier.wait(timeout=REPLY_SECONDS)
    started = time.monotonic()
    delivered, last_copy = wait_copies(mail, args, clients)
    for c in clients:
        c.join(REPLY_SECONDS)
    accepted = sorted(t for c in clients for t in c.accepted)
    errors = [c.error for c in clients if c.error]
    return started, accepted, delivered, last_copy, errors


def rate(count, seconds):
    return count / seconds if seconds > 0 else 0.0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--messages", type=int, default=1000, help="messages in all (N)")
    parser.add_argument("--users", type=int, default=10, help="local users (M)")
    parser.add_argument("--clients", type=int, default=4, help="concurrent SMTP connections")
    parser.add_argument("--size", type=int, default=4096, help="message size in bytes")
    parser.add_argument("--build", help="build directory (default $ZEL_BUILD_DIR or build/)")
    args = parser.parse_args()
    if args.build:
        zelharness.BIN_DIR = os.path.join(args.build, "bin")
    users = ["user%d" % u for u in range(args.users)] + ["administrator"]
    print("%d messages x %d bytes to %d users over %d connections"
          % (args.messages, args.size, args.users, args.clients))
    mail = zelharness.MailSystem(users, prefix="zel-bench-local-").start()
    try:
        started, accepted, delivered, last_copy, errors = drive(mail, args)
        recv_kb = mail.receiver.peak_memory_kb()
        deliv_kb = mail.agent.peak_memory_kb()
    finally:
        mail.stop()
    if not accepted:
        print("nothing was accepted: %s" % (errors[:1] or "?"))
        return 1
    print("accepted  %7d messages in %7.2f s  %9.1f msg/s"
          % (len(accepted), accepted[-1] - started, rate(len(accepted), accepted[-1] - started)))
    print("delivered %7d copies   in %7.2f s  %9.1f msg/s  (first acceptance to last copy)"
          % (delivered, last_copy - accepted[0], rate(delivered, last_copy - accepted[0])))
    print("drain     %7.2f s after the last acceptance" % max(0.0, last_copy - accepted[-1]))
    print("peak memory: zelrecv %s kB, zeldeliv %s kB"
          % (recv_kb if recv_kb is not None else "?", deliv_kb if deliv_kb is not None else "?"))
    if errors:
        print("%d clients failed: %s" % (len(errors), errors[0]))
    if delivered < args.messages:
        print("only %d of %d copies arrived" % (delivered, args.messages))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

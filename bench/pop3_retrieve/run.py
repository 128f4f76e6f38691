#!/usr/bin/python3
"""Retrieve benchmark: N mailboxes x M messages of S bytes, collected over
loopback by concurrent POP3 clients.

Starts zelfetch with "-run" under a scratch ZEL_ROOT (the end-to-end test
harness, tests/e2e/zelharness.py), fills N mailboxes with M message files
of S bytes each (written straight into the mailbox directories, or with
--fill smtp sent through zelrecv and delivered by zeldeliv), then lets one
poplib client thread per mailbox log on, retrieve every message, delete it
and sign off. Prints the messages and megabytes per second of the retrieval
and zelfetch's peak memory (VmHWM of /proc/PID/status, read before it is
stopped), and checks that every mailbox ended empty. Only 127.0.0.1 is ever
contacted; every wait is bounded.
"""

import argparse
import os
import poplib
import smtplib
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))

import zelharness  # noqa: E402  (after the path set-up above)

REPLY_SECONDS = 120     # one reply may take this long before a client gives up
FILL_SECONDS = 600      # delivery of the whole load by --fill smtp may take this long


def user_name(number):
    return "bench%03d" % number


def password(number):
    return "bench-pw-%03d" % number


def make_message(mailbox, number, size):
    """A message file of size bytes (at least its header and end line) in
    lines of 78 bytes and one shorter (or one longer) line."""
    head = b"From: bench@bench.example\r\nSubject: bench %d %d\r\n\r\n" % (mailbox, number)
    tail = b".\r\n"
    full, rest = divmod(max(0, size - len(head) - len(tail)), 78)
    lines = [b"x" * 76 + b"\r\n"] * full
    if rest >= 2:
        lines.append(b"y" * (rest - 2) + b"\r\n")
    elif rest == 1 and lines:
        lines[-1] = b"x" * 77 + b"\r\n"
    return head + b"".join(lines) + tail


def fill_files(box_of, args):
    """Writes the message files straight into the mailboxes; total bytes."""
    total = 0
    for m in range(args.mailboxes):
        directory = box_of(user_name(m))
        os.makedirs(directory, exist_ok=True)
        for n in range(args.messages):
            data = make_message(m, n, args.size)
            with open(os.path.join(directory, "B%010d.MSG" % (m * args.messages + n)), "wb") as f:
                f.write(data)
            total += len(data)
    return total


def fill_smtp(mail, args):
    """Sends the load through zelrecv (one connection per mailbox) and
    waits until zeldeliv has delivered all of it; total bytes stored."""
    errors = []

    def send(m):
        try:
            with smtplib.SMTP("127.0.0.1", mail.port, local_hostname="bench.example",
                              timeout=REPLY_SECONDS) as client:
                for n in range(args.messages):
                    text = make_message(m, n, args.size)[:-3]     # smtplib adds the end line
                    client.sendmail("bench@bench.example",
                                    ["%s@%s" % (user_name(m), zelharness.LOCAL_HOST)], text)
        except Exception as e:  # shown by the driver
            errors.append(repr(e))

    threads = [threading.Thread(target=send, args=(m,), daemon=True)
               for m in range(args.mailboxes)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(REPLY_SECONDS * max(1, args.messages))
    if errors:
        raise SystemExit("filling by SMTP failed: %s" % errors[0])
    for m in range(args.mailboxes):
        got = mail.wait_messages(user_name(m), args.messages, FILL_SECONDS)
        if len(got) < args.messages:
            raise SystemExit("%s holds %d of %d messages" % (user_name(m), len(got),
                                                             args.messages))
    return sum(os.path.getsize(mail.mailbox(user_name(m), name))
               for m in range(args.mailboxes) for name in mail.messages(user_name(m)))


class Client(threading.Thread):
    """Collects one mailbox: every message retrieved, then deleted."""

    def __init__(self, port, number, barrier):
        super().__init__(daemon=True)
        self.port, self.number, self.barrier = port, number, barrier
        self.messages = 0
        self.octets = 0
        self.error = None

    def run(self):
        try:
            self.barrier.wait(timeout=REPLY_SECONDS)
            client = poplib.POP3("127.0.0.1", self.port, timeout=REPLY_SECONDS)
            try:
                client.user(user_name(self.number))
                client.pass_(password(self.number))
                count, _ = client.stat()
                for n in range(1, count + 1):
                    _, lines, octets = client.retr(n)
                    client.dele(n)
                    self.messages += 1
                    self.octets += octets
                client.quit()
            finally:
                client.close()
        except Exception as e:  # counted and shown by the driver
            self.error = repr(e)


def drive(port, args):
    barrier = threading.Barrier(args.mailboxes + 1)
    clients = [Client(port, m, barrier) for m in range(args.mailboxes)]
    for c in clients:
        c.start()
    barrier.wait(timeout=REPLY_SECONDS)
    started = time.monotonic()
    for c in clients:
        c.join(REPLY_SECONDS * max(1, args.messages))
    elapsed = time.monotonic() - started
    errors = [c.error for c in clients if c.error]
    return sum(c.messages for c in clients), sum(c.octets for c in clients), elapsed, errors


def report(name, messages, stored, elapsed, peak_kb, left, errors):
    mb = stored / 1e6
    print("%-9s %7d messages (%.1f MB) in %7.2f s  %9.1f msg/s  %7.2f MB/s  peak memory %s kB%s%s"
          % (name, messages, mb, elapsed, messages / elapsed if elapsed else 0.0,
             mb / elapsed if elapsed else 0.0, peak_kb if peak_kb is not None else "?",
             "  (%d messages left in the mailboxes)" % left if left else "",
             "  (%d clients failed: %s)" % (len(errors), errors[0]) if errors else ""))


def bench_files(args):
    users = {user_name(m): password(m) for m in range(args.mailboxes)}
    server = zelharness.Pop3Server(users=users, prefix="zel-bench-pop3-")
    try:
        stored = fill_files(server.mailbox, args)
        server.start()
        messages, _, elapsed, errors = drive(server.port, args)
        peak = server.service.peak_memory_kb()
        left = sum(len(zelharness.files_with(server.mailbox(u), "MSG")) for u in users)
        report("zelfetch", messages, stored, elapsed, peak, left, errors)
    finally:
        server.stop()


def bench_smtp(args):
    users = {user_name(m): password(m) for m in range(args.mailboxes)}
    mail = zelharness.MailSystem(tuple(users), passwords=users, fetch={},
                                 prefix="zel-bench-pop3m-")
    try:
        mail.start()
        stored = fill_smtp(mail, args)
        messages, _, elapsed, errors = drive(mail.pop3_port, args)
        peak = mail.fetcher.peak_memory_kb()
        left = sum(len(mail.messages(u)) for u in users)
        report("zelfetch", messages, stored, elapsed, peak, left, errors)
    finally:
        mail.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--mailboxes", type=int, default=20,
                        help="mailboxes, one concurrent client each")
    parser.add_argument("--messages", type=int, default=50, help="messages per mailbox")
    parser.add_argument("--size", type=int, default=10240, help="message size in bytes")
    parser.add_argument("--fill", choices=["files", "smtp"], default="files",
                        help="write the message files directly, or send them by SMTP")
    parser.add_argument("--build", help="build directory (default $ZEL_BUILD_DIR or build/)")
    args = parser.parse_args()
    if args.build:
        zelharness.BIN_DIR = os.path.join(args.build, "bin")
    print("%d mailboxes x %d messages x %d bytes, filled by %s"
          % (args.mailboxes, args.messages, args.size, args.fill))
    (bench_smtp if args.fill == "smtp" else bench_files)(args)


if __name__ == "__main__":
    main()
